// The clipboard, plain text only.
#pragma once

#include <functional>
#include <string>

namespace desktop {

// Replaces the clipboard's contents with the text (bytes, put there
// decoded). Raises platform::EClipboardException "Zwischenablage kann nicht
// geöffnet werden" when the clipboard cannot be taken; its contents stay.
void ClipboardSetText(const std::string& bytes);
// The clipboard's plain text in UTF-8; the empty text when there is none.
std::string ClipboardText();

// Decides whether the clipboard can be taken now (the desktop's clipboard
// can be held by another program; tests use this to make that happen).
// An empty hook means it always can. Returns the hook that was there.
using TClipboardOpenHook = std::function<bool()>;
TClipboardOpenHook SetClipboardOpenHook(TClipboardOpenHook hook);

}  // namespace desktop
