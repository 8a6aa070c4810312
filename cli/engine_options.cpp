#include "cli/engine_options.h"

namespace {

// "auto|sse3|avx2" with the separator "|", "auto, sse3 or avx2" with ", " and
// " or ": auto and this build's instruction sets.
std::string instruction_set_choices(const std::string& separator, const std::string& last_separator) {
    std::string text = instruction_set_choice_name(std::nullopt);
    const auto sets = built_instruction_sets();
    for (std::size_t i = 0; i < sets.size(); ++i)
        text += (i + 1 == sets.size() ? last_separator : separator) + instruction_set_name(sets[i]);
    return text;
}

struct GivenOption {
    const char* name;
    const std::optional<std::string>& value;
};

GivenOption option_at_fault(ChoicePart part, const GivenEngineOptions& given) {
    switch (part) {
        case ChoicePart::workers: return {"--workers", given.workers};
        case ChoicePart::instruction_set: return {"--isa", given.isa};
        case ChoicePart::estimates: break;
    }
    return {"--estimates", given.estimates};
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
    if (given.workers)
        choice.workers = static_cast<int>(parse_count(*given.workers, "--workers", 1, most_fast_workers));
    if (given.isa && !instruction_set_choice_named(*given.isa, &choice.instruction_set))
        throw ArgumentError("--isa wants " + instruction_set_choices(", ", " or ") + ", not '" + *given.isa + "'");
    if (given.estimates && !estimates_named(*given.estimates, &choice.estimates))
        throw ArgumentError("--estimates wants x86 or ieee, not '" + *given.estimates + "'");
    // What the engine cannot do with what was given, as the engine says it,
    // after the option at fault.
    if (const std::optional<ChoiceFault> fault = check_engine_choice(choice)) {
        const GivenOption option = option_at_fault(fault->part, given);
        throw ArgumentError(std::string(option.name) + (option.value ? " " + *option.value : "") + ": " +
                            fault->reason);
    }
    return choice;
}

void start_chosen_engine(const EngineChoice& choice) {
    const std::string refused = start_engine(choice);
    if (!refused.empty()) throw ArgumentError(refused);
}
