#include "cli/engine_options.h"

namespace {

// "auto|sse3|avx2" with the separator "|", "auto, sse3 or avx2" with ", " and
// " or ": auto and this build's instruction sets.
std::string instruction_set_choices(const std::string& separator, const std::string& last_separator) {
    std::string text = instruction_set_choice_name(InstructionSetChoice::automatic);
    const auto sets = built_instruction_sets();
    for (std::size_t i = 0; i < sets.size(); ++i)
        text += (i + 1 == sets.size() ? last_separator : separator) + instruction_set_name(sets[i]);
    return text;
}

}  // namespace

void declare_engine_options(CommandLine& line, GivenEngineOptions& given) {
    line.option("--engine", "fast|reference",
                "fast (default): every processor, several pixels per\n"
                "instruction; reference: the four-lane design, two\n"
                "workers made per frame; both draw the same pictures",
                &given.engine);
    line.option("--workers", "N",
                "render workers: fast 1 to 64 (default: one per\n"
                "processor); reference 1 or 2 (default 2)",
                &given.workers);
    line.option("--isa", instruction_set_choices("|", "|"),
                "the fast engine's instruction set (default auto: the\n"
                "widest whose results equal the four-lane ones here)",
                &given.isa);
    line.option("--estimates", "x86|ieee",
                x86_estimates_available ? "reciprocals: x86 (default) the processor's estimates,\n"
                                          "the same pictures on one maker's processors; ieee:\n"
                                          "exact 1/sqrt(x) and 1/x, the same pictures everywhere"
                                        : "reciprocals: ieee (default, the only one here): exact\n"
                                          "1/sqrt(x) and 1/x, the same pictures everywhere",
                &given.estimates);
}

EngineChoice engine_choice_from(const GivenEngineOptions& given) {
    EngineChoice choice;
    if (given.engine && !engine_named(*given.engine, &choice.kind))
        throw ArgumentError("--engine wants fast or reference, not '" + *given.engine + "'");
    if (given.workers) {
        const bool fast = choice.kind == EngineKind::fast;
        choice.workers = static_cast<int>(parse_count(
            *given.workers, fast ? "--workers" : "--workers (reference engine)", 1, fast ? most_fast_workers : 2));
    }
    if (given.isa) {
        if (!instruction_set_choice_named(*given.isa, &choice.instruction_set))
            throw ArgumentError("--isa wants " + instruction_set_choices(", ", " or ") + ", not '" + *given.isa + "'");
        if (choice.kind == EngineKind::reference && choice.instruction_set != InstructionSetChoice::automatic)
            throw ArgumentError("--isa belongs to the fast engine; the reference engine is the four-lane design");
    }
    if (given.estimates) {
        if (!estimates_named(*given.estimates, &choice.estimates))
            throw ArgumentError("--estimates wants x86 or ieee, not '" + *given.estimates + "'");
        if (choice.estimates == Estimates::x86 && !x86_estimates_available)
            throw ArgumentError("--estimates x86: this processor has no x86 estimates; use ieee");
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
