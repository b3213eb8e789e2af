// Standard output as the tool writes it: text lines ended by CR LF on every
// platform. A line end or an explicit flush pushes the text out at once on a
// terminal; when standard output is a file or a pipe the bytes are the same
// but go out in large blocks, and ConsoleFinish writes what is left.
#pragma once

#include <cstdint>
#include <string>

void ConsoleText(const std::string& text);
void ConsoleNumber(uint64_t value);
void ConsoleEndLine(); // CR LF, then a flush
void ConsoleFlush();
void ConsoleLine(const std::string& text); // the text, then ConsoleEndLine
void ConsoleFinish();                      // writes out whatever is buffered
