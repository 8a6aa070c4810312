// The three options that choose the engine, read the same way by the window
// program and both tools:
//   --engine fast|reference   default fast
//   --workers N               fast: 1 to 64, default one per processor the
//                             process may run on; reference: 1 or 2, default 2
//   --isa auto|sse3|avx2|avx512
//                             default auto (the widest that gives the
//                             four-lane bits here); the others choose the
//                             fast engine's kernels; auto|neon on ARM64,
//                             auto|simd128 on WebAssembly
//   --estimates x86|ieee      the arithmetic of the reciprocals, default x86
//                             (ieee where the processor has no x86 estimates)
#pragma once

#include <optional>
#include <string>

#include "cli/command_line.h"
#include "engine/engine.h"

struct GivenEngineOptions {
    std::optional<std::string> engine, workers, isa, estimates;
};

void declare_engine_options(CommandLine& line, GivenEngineOptions& given);

// The choice the options make; throws ArgumentError for a value that names
// nothing, or a choice the engine cannot run here (check_engine_choice: a
// worker count the engine does not take, --isa with the reference engine, an
// instruction set or estimates this processor lacks), naming the option.
EngineChoice engine_choice_from(const GivenEngineOptions& given);

// Starts a choice that engine_choice_from made; throws ArgumentError with the
// reason when it cannot run.
void start_chosen_engine(const EngineChoice& choice);
