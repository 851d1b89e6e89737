// Rule check speed: 10,000 messages against 1,000 rules, with the core's
// check and, side by side, a baseline that derives the message texts again
// for every rule. Prints messages x rules per second for both and the ratio.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/Convert.h"
#include "platform/StringList.h"
#include "spamfilter/USpamfilter.h"

namespace {

constexpr int kMessages = 10000;
constexpr int kRules = 1000;
constexpr int kRounds = 5;

std::string Word(std::mt19937& rng) {
  static const char* words[] = {"Meeting", "tomorrow", "invoice", "Re:", "Fwd:", "project", "status", "report",
                                "Termin", "Rechnung", "Angebot", "Urlaub", "Bericht", "update", "weekly", "news"};
  return words[rng() % (sizeof words / sizeof *words)];
}

std::string Definitions(std::mt19937& rng) {
  // Rules that do not fire for the generated mail, so every message meets
  // every rule: the worst case of the check.
  std::string t;
  const char* sections[] = {"[SUBJECT]", "[FROM]", "[SCRAMBLE-SUBJECT]"};
  const char* ops[] = {"* ", "< ", "> "};
  int n = 0;
  for (int sec = 0; sec < 3; ++sec) {
    t += std::string(sections[sec]) + "\r\n";
    for (int k = 0; k < 330 && n < kRules - 10; ++k, ++n)
      t += std::string(ops[k % 3]) + "zz" + std::to_string(rng() % 100000) + "spam" + "\r\n";
  }
  t += "[SIZE]\r\n";
  while (n < kRules) {
    t += "IN " + std::to_string(90000000 + n) + ".." + std::to_string(90000100 + n) + "\r\n";
    ++n;
  }
  return t;
}

// The baseline derives subject, sender and reduced subject per rule.
bool NaiveIsSpam(const tMailboxMgmt& s, int i) {
  const tMailSummary& e = s.summaries[static_cast<size_t>(i)];
  for (size_t k = 1; k < s.virdefs.size(); ++k) {
    const tVirdef& r = s.virdefs[k];
    std::string text = platform::UpperCase(platform::Trim(r.art == 'F' ? e.from : e.subject));
    if (r.art == 'C') text = Descramble(text);
    bool t;
    switch (r.op) {
      case '<': t = !r.muster.empty() && text.rfind(r.muster, 0) == 0; break;
      case '>':
        t = !r.muster.empty() && text.size() >= r.muster.size() &&
            text.compare(text.size() - r.muster.size(), r.muster.size(), r.muster) == 0;
        break;
      case '#': t = e.groesse >= r.von && e.groesse <= r.bis; break;
      default: t = !r.muster.empty() && text.find(r.muster) != std::string::npos; break;
    }
    if (t == r.positiv) return true;
  }
  return false;
}

template <class F>
double Seconds(F&& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  std::mt19937 rng(42);
  tMailboxMgmt s;
  platform::TStringList defs;
  defs.SetText(Definitions(rng));
  VirdefsUebernehmen(s, defs);
  s.aktuell = 0;
  s.summaries.resize(kMessages + 1);
  for (int i = 1; i <= kMessages; ++i) {
    tMailSummary& e = s.summaries[static_cast<size_t>(i)];
    e.nr = i;
    e.groesse = 1000 + static_cast<int32_t>(rng() % 100000);
    e.subject = " " + Word(rng) + " " + Word(rng) + " " + Word(rng) + " #" + std::to_string(i);
    e.from = " \"" + Word(rng) + "\" <user" + std::to_string(rng() % 5000) + "@example.com>";
  }
  s.anzahl = kMessages;

  double best = 1e9, bestNaive = 1e9;
  int marked = 0, markedNaive = 0;
  for (int round = 0; round < kRounds; ++round) {
    best = std::min(best, Seconds([&] { Spamcheck(s); }));
    marked = SpamAnzahl(s);
    bestNaive = std::min(bestNaive, Seconds([&] {
                           markedNaive = 0;
                           for (int i = 1; i <= kMessages; ++i) markedNaive += NaiveIsSpam(s, i) ? 1 : 0;
                         }));
  }
  double pairs = static_cast<double>(kMessages) * static_cast<double>(s.virdefs.size() - 1);
  std::printf("rule check: %d messages x %zu rules, best of %d rounds\n", kMessages, s.virdefs.size() - 1, kRounds);
  std::printf("  core check     %8.3f s  %12.0f messages x rules per second  (%d marked)\n", best, pairs / best,
              marked);
  std::printf("  per-rule texts %8.3f s  %12.0f messages x rules per second  (%d marked)\n", bestNaive,
              pairs / bestNaive, markedNaive);
  std::printf("  ratio (baseline time / core time): %.2f\n", bestNaive / best);
  return marked == markedNaive ? 0 : 1;
}
