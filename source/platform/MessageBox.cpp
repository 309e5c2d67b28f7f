#include "platform/MessageBox.h"

#include <SDL.h>
#include <cstdio>

namespace platform {

namespace {

constexpr std::size_t messageBoxColumns = 60;

WarningBoxPresenter& presenter() {
    static WarningBoxPresenter current;
    return current;
}

void appendWrappedLine(std::string& out, const std::string& line, std::size_t maxColumns) {
    std::size_t start = 0;
    while (line.size() - start > maxColumns) {
        std::size_t cut = line.rfind(' ', start + maxColumns);
        if (cut == std::string::npos || cut <= start) {
            out.append(line, start, maxColumns);
            out += '\n';
            start += maxColumns;
            continue;
        }
        out.append(line, start, cut - start);
        out += '\n';
        start = cut + 1;
    }
    out.append(line, start, std::string::npos);
}

} // namespace

std::string wrapMessageText(const std::string& text, std::size_t maxColumns) {
    std::string out;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        appendWrappedLine(out, text.substr(start, end - start), maxColumns);
        if (end == std::string::npos)
            break;
        out += '\n';
        start = end + 1;
    }
    return out;
}

void showWarningBox(const std::string& caption, const std::string& text) {
    if (presenter()) {
        presenter()(caption, text);
        return;
    }
    const std::string wrapped = wrapMessageText(text, messageBoxColumns);
    if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_WARNING, caption.c_str(), wrapped.c_str(),
                                 nullptr) != 0) {
        // Without a display the message still reaches the user on the terminal.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
}

void setWarningBoxPresenter(WarningBoxPresenter replacement) {
    presenter() = std::move(replacement);
}

} // namespace platform
