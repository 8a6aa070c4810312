#include "cli/engine_options.h"

void declare_engine_options(CommandLine& line, GivenEngineOptions& given) {
    line.option("--engine", "fast|reference",
                "fast: every processor, several pixels per instruction (default);\n"
                "reference: the four-lane design, two workers made per frame;\n"
                "both draw the same pictures, bit for bit",
                &given.engine);
    line.option("--workers", "N",
                "render workers: fast 1 to 64 (default: one per processor),\n"
                "reference 1 or 2 (default 2; 1: both halves on one thread)",
                &given.workers);
    line.option("--isa", "auto|sse3|avx2",
                "the fast engine's instruction set (default auto: the widest\n"
                "whose results equal the four-lane ones on this processor)",
                &given.isa);
}

EngineChoice engine_choice_from(const GivenEngineOptions& given) {
    EngineChoice choice;
    if (given.engine && !engine_named(*given.engine, &choice.kind))
        throw ArgumentError("--engine wants fast or reference, not '" + *given.engine + "'");
    if (given.workers) {
        const bool fast = choice.kind == EngineKind::fast;
        choice.workers = static_cast<int>(parse_count(*given.workers, fast ? "--workers" : "--workers (reference engine)",
                                                      1, fast ? most_fast_workers : 2));
    }
    if (given.isa) {
        if (!instruction_set_choice_named(*given.isa, &choice.instruction_set))
            throw ArgumentError("--isa wants auto, sse3 or avx2, not '" + *given.isa + "'");
        if (choice.kind == EngineKind::reference)
            throw ArgumentError("--isa belongs to the fast engine; the reference engine is the four-lane design");
    }
    return choice;
}

void start_chosen_engine(const EngineChoice& choice) {
    const std::string refused = start_engine(choice);
    if (!refused.empty()) {
        if (choice.instruction_set != InstructionSetChoice::automatic)
            throw ArgumentError(std::string("--isa ") + instruction_set_choice_name(choice.instruction_set) + ": " +
                                refused);
        throw ArgumentError(refused);
    }
}
