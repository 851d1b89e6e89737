#include "window/desktop/TextCodec.h"

#include <algorithm>
#include <array>

namespace desktop {
namespace {

// 0x80..0x9F of Windows-1252; the undefined bytes keep their C1 code.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    char32_t cp;
    char32_t minimum;
    if ((b0 & 0xE0) == 0xC0) {
      len = 2, cp = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, cp = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, cp = b0 & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

QString DecodeWindows1252(std::string_view bytes) {
  QString out;
  out.reserve(static_cast<qsizetype>(bytes.size()));
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80 && b < 0xA0)
      out.append(QChar(kHighControls[b - 0x80]));
    else
      out.append(QChar(static_cast<char16_t>(b)));
  }
  return out;
}

std::string EncodeWindows1252(const QString& text) {
  std::string out;
  out.reserve(static_cast<size_t>(text.size()));
  for (QChar qc : text) {
    const char16_t u = qc.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    char mapped = '?';
    for (size_t k = 0; k < kHighControls.size(); ++k) {
      if (kHighControls[k] == u) {
        mapped = static_cast<char>(0x80 + k);
        break;
      }
    }
    out.push_back(mapped);
  }
  return out;
}

TTextEncoding DetectEncoding(std::string_view bytes) {
  return IsValidUtf8(bytes) ? TTextEncoding::Utf8 : TTextEncoding::Windows1252;
}

QString Decode(std::string_view bytes, TTextEncoding encoding) {
  if (encoding == TTextEncoding::Utf8)
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  return DecodeWindows1252(bytes);
}

std::string Encode(const QString& text, TTextEncoding encoding) {
  if (encoding == TTextEncoding::Utf8) {
    const QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
  }
  return EncodeWindows1252(text);
}

QString BytesToQString(std::string_view bytes) { return Decode(bytes, DetectEncoding(bytes)); }

QString LinesToQString(std::string_view bytes) {
  QString out;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t brk = std::min(bytes.find_first_of("\r\n", start), bytes.size());
    out += BytesToQString(bytes.substr(start, brk - start));
    size_t end = brk;
    while (end < bytes.size() && (bytes[end] == '\r' || bytes[end] == '\n')) out += QLatin1Char(bytes[end++]);
    start = end;
  }
  return out;
}

std::string QStringToBytes(const QString& text) { return Encode(text, TTextEncoding::Utf8); }

}  // namespace desktop
