#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "instances/app_instances.h"

// Blocks of bytes handed to the windows of the other listed instances, as
// copy-data messages: a kind, a size and the bytes.

// The kind of a block that holds a command line.
constexpr int CommandLineKind = 1;

// How a block went out. `sent`: the windows were enumerated; false for a
// block that cannot be sent at all (a negative size, bytes missing, or more
// than a copy-data message carries). `taken`: the windows that answered that
// they took it (a result other than 0); one that did not answer in time, or
// whose process hung up, did not. `hungUp`: the windows whose process hung up
// or was gone without an answer, as one that ends does.
struct BlockSent {
    bool sent = false;
    int taken = 0;
    int hungUp = 0;
};

// This process's arguments 1 to N, each followed by CR LF, as kind 1.
BlockSent SendCommandLine(const std::string& windowClass, TWindowHandle originator);
// The lines, each followed by CR LF.
BlockSent SendLines(const std::string& windowClass, int kind, const std::vector<std::string>& lines,
                    TWindowHandle originator);
// Sends the bytes, blocking, to every top-level window of the class whose
// process is listed in the instance table, the sender's own included.
BlockSent SendBlock(const std::string& windowClass, int kind, const void* data, int size, TWindowHandle originator);

// The kind of a received block, and the message result 1; -1 (result 0) for
// any other message and for a block that `ignoredWindow` sent.
int CopyDataKind(TMessage& message, TWindowHandle ignoredWindow);
// A private copy of a received block's bytes; empty for any other message.
std::vector<std::uint8_t> ExtractCopyDataBytes(const TMessage& message);
// The lines of a received block: a line ends at CR, LF or CR LF, a zero byte
// ends the text, and a last line without a break counts too.
void ExtractCopyDataLines(const TMessage& message, std::vector<std::string>& lines);
// The same split, of any text.
std::vector<std::string> SplitTextLines(const char* text, std::size_t size);
