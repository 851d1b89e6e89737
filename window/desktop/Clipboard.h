// The clipboard, plain text only.
#pragma once

#include <functional>
#include <optional>
#include <string>

class QMimeData;

namespace desktop {

// Replaces the clipboard's contents with the text (bytes, put there
// decoded line by line). Raises platform::EClipboardException "Zwischenablage
// kann nicht geöffnet werden" when the clipboard cannot be taken; its
// contents stay.
void ClipboardSetText(const std::string& bytes);
// The clipboard's plain text: the bytes it was given when this program put
// it there, else in UTF-8; the empty text when there is none.
std::string ClipboardText();

// The bytes behind clipboard data (or data dropped or pasted) that this
// program put there and that still show the same text; nothing otherwise.
// A line pasted from it keeps its bytes, whatever code page they are in.
std::optional<std::string> ClipboardBytes(const QMimeData& data);

// Decides whether the clipboard can be taken now (the desktop's clipboard
// can be held by another program; tests use this to make that happen).
// An empty hook means it always can. Returns the hook that was there.
using TClipboardOpenHook = std::function<bool()>;
TClipboardOpenHook SetClipboardOpenHook(TClipboardOpenHook hook);

}  // namespace desktop
