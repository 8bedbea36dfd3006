// The GUI's part of the platform: message boxes of every thread shown as
// modal QMessageBox on the GUI thread, platform windows served on the GUI
// thread, and the decoding of texts for display.
#pragma once

#include "VorlanePlatform.h"

#include <QString>

#include <string>

namespace vorlane::gui {

// A text of the system: UTF-8, or GBK bytes (Latin-1 when no GBK decoder exists).
QString FromSystemText(const std::string& text);
QString FromSystemText(const char* text);

// Installs the QMessageBox handler for MessageBoxA (call on the GUI thread).
void InstallMessageBoxHandler();
// Runs `window`'s procedure on the GUI thread: SendMessageA waits for it
// (directly when sent from the GUI thread), PostMessageA queues it.
void MarshalWindowToGui(HWND window);

// Fills the first "%s" of a language text with `value`, "%%" becomes "%".
// Language files are data: their texts are never used as printf formats.
std::string FillString(const std::string& text, const std::string& value);

} // namespace vorlane::gui
