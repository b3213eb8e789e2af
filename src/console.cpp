#include "console.h"

#include "platform.h"

#include <cstring>

namespace {

constexpr size_t BufferSize = 64 * 1024;
char Buffer[BufferSize];
size_t Filled = 0;
int Terminal = -1; // unknown until first asked

void WriteOut() {
    if (Filled > 0)
        WriteStandardOutput(Buffer, Filled);
    Filled = 0;
}

void Append(const char* text, size_t length) {
    if (Filled + length > BufferSize) {
        WriteOut();
        if (length > BufferSize) {
            WriteStandardOutput(text, length);
            return;
        }
    }
    memcpy(Buffer + Filled, text, length);
    Filled += length;
}

} // namespace

void ConsoleText(const std::string& text) {
    Append(text.data(), text.size());
}

void ConsoleNumber(uint64_t value) {
    char digits[24];
    size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    Append(digits + at, sizeof digits - at);
}

void ConsoleEndLine() {
    Append("\r\n", 2);
    ConsoleFlush();
}

void ConsoleFlush() {
    if (Terminal < 0)
        Terminal = StandardOutputIsTerminal() ? 1 : 0;
    if (Terminal == 1)
        WriteOut();
}

void ConsoleLine(const std::string& text) {
    ConsoleText(text);
    ConsoleEndLine();
}

void ConsoleFinish() {
    WriteOut();
}
