#pragma once

#include <string>
#include <vector>

#include "cli/inputs.h"
#include "cli/report.h"
#include "cli/side_by_side.h"
#include "core/generate.h"
#include "engine/algorithms.h"

// The lines in which the command-line companion prints digests.
enum class LineForm {
    Plain,  // "MD5 HEX" as the result box shows it: one input, no name
    Tag,    // "MD5 (name) = HEX", every digest at full width
    Sum,    // "hex  name" in lower case, as md5sum and sha1sum write it
    Sfv,    // "name HEX", the CRC-32 at full width
};

// One result as Generate hands it on, in the form's line; lower turns the
// digits of Plain and Tag lines to lower case.
std::string ResultLine(LineForm form, bool lower, const AlgorithmRow& row, const std::string& name,
                       const std::string& result);

struct SumOptions {
    LineForm form = LineForm::Plain;
    bool lower = false;
    bool recursive = false;     // a named folder is walked (FolderWalk)
    GenerateInput request;      // the ticks, the key and the HMAC tick
    unsigned threads = 0;       // besides the caller's, for inputs digested side by side
    RunTally* tally = nullptr;  // counted as the run goes, when given
};

// Prints the ticked digests of every named input ("-" for standard input)
// in the order named, each input's in the order MD5, SHA-1, SHA-256, SHA-512, CRC-32;
// with `recursive`, a named folder stands for the files the walk finds in
// it, in their order. An input that cannot be digested, anything the walk
// cannot read or finds that is no regular file, and in the Sfv form a name
// no SFV line can hold (which is not read), is reported on standard error,
// and the others go on. True when every input was digested
// and the walks found nothing wrong.
bool PrintDigests(const std::vector<std::string>& names, const SumOptions& options, const DigestInputs& inputs,
                  Report& report);
