// Marks exported as rule lines, for pasting into the spam definitions.
#pragma once

#include <functional>
#include <string>

#include "spamfilter/Session.h"

// The export text of the entries whose mark equals `markiert`: a starts-with
// rule for each subject, one for each sender and a size rule for each exact
// size, under [Subject], [From] and [Size]. Every line ends with CR LF.
std::string MarkierungenText(tMailboxMgmt& s, bool markiert);

// Hands the export text to `zwischenablage` (the window puts it on the
// clipboard) when the session has at least one entry; otherwise nothing.
void CopyMarkierungen(tMailboxMgmt& s, bool markiert,
                      const std::function<void(const std::string&)>& zwischenablage);
