// Text of data files and server replies is bytes. On screen it is shown
// decoded: as UTF-8 where the bytes are valid UTF-8, else as Windows-1252,
// the code page the data files were first written in.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace desktop {

enum class TTextEncoding { Utf8, Windows1252 };

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view bytes);

// Every one of the 256 byte values maps to its own character (the five
// bytes Windows-1252 leaves undefined map to the C1 controls of the same
// number), so decoding and encoding again gives the bytes back.
QString DecodeWindows1252(std::string_view bytes);
// Characters the code page cannot hold become '?'.
std::string EncodeWindows1252(const QString& text);

TTextEncoding DetectEncoding(std::string_view bytes);
QString Decode(std::string_view bytes, TTextEncoding encoding);
std::string Encode(const QString& text, TTextEncoding encoding);

// Bytes as the screen shows them (the subjects and senders in the grid,
// server names in the list box, texts of message boxes).
QString BytesToQString(std::string_view bytes);
// A text of several lines as the screen shows it: each line decoded on its
// own (a text may join lines of different origins), the breaks kept.
QString LinesToQString(std::string_view bytes);
// Text typed or built on the screen back to bytes, in UTF-8.
std::string QStringToBytes(const QString& text);

}  // namespace desktop
