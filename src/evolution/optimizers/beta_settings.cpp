#include "evolution/optimizers/beta_settings.hpp"

#include <cmath>

#include "common/errors.hpp"
#include "common/float_text.hpp"
#include "evolution/optimizers/beta_searches.hpp"

namespace tessaron {
namespace {

void require(bool holds, const char* name, const char* range, double value) {
    if (!holds)
        throw InvalidData(std::string(name) + " must be " + range + ", got " + float_text(value));
}

void require_count(bool holds, const char* name, std::int32_t value) {
    if (!holds)
        throw InvalidData(std::string(name) + " must be at least 0, got " + std::to_string(value));
}

}  // namespace

void check_beta_settings(const BetaSettings& s) {
    if (s.step_size)
        require(std::isfinite(*s.step_size) && *s.step_size > 0.0, "step_size",
                "a positive finite number", *s.step_size);
    require(std::isfinite(s.init_scale) && s.init_scale > 0.0, "init_scale",
            "a positive finite number", s.init_scale);
    require_count(s.elites >= 0, "elites", s.elites);
    require(s.parent_fraction > 0.0 && s.parent_fraction <= 1.0, "parent_fraction", "in (0, 1]",
            s.parent_fraction);
    require(s.structure_rate >= 0.0 && s.structure_rate <= 1.0, "structure_rate", "in [0, 1]",
            s.structure_rate);
    require_count(s.max_hidden >= 0, "max_hidden", s.max_hidden);
    require(std::isfinite(s.size_penalty) && s.size_penalty >= 0.0, "size_penalty",
            "a finite number of at least 0", s.size_penalty);
    if (find_beta_search(s.search) == nullptr)
        throw InvalidData("search must be " + beta_search_names() + ", got '" + s.search + "'");
}

void check_beta_elites(const BetaSettings& settings, std::int32_t pop_size) {
    if (settings.elites >= pop_size)
        throw InvalidData("the optimizer's elites (" + std::to_string(settings.elites) +
                          ") must be fewer than pop_size (" + std::to_string(pop_size) +
                          "), or no child is ever made");
}

void check_beta_run(const BetaSettings& settings, std::int32_t pop_size) {
    find_beta_search(settings.search)->check_run(settings, pop_size);
}

}  // namespace tessaron
