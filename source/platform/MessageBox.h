#pragma once

#include <functional>
#include <string>

namespace platform {

// Breaks lines longer than maxColumns at spaces (a word longer than a line is cut), keeping
// the line breaks the text already has, so that a message box never outgrows the screen.
std::string wrapMessageText(const std::string& text, std::size_t maxColumns);

// Shows a warning box with one OK button and waits until it is dismissed.
void showWarningBox(const std::string& caption, const std::string& text);

// Lets tests see the boxes instead of a person dismissing them. An empty function restores the
// real box.
using WarningBoxPresenter =
    std::function<void(const std::string& caption, const std::string& text)>;
void setWarningBoxPresenter(WarningBoxPresenter presenter);

} // namespace platform
