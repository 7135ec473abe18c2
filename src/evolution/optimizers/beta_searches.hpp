// The searches of Beta, by name: each is a unit of its own behind the optimizer interface, and
// adding one is that unit and a line in the table of beta_searches.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "evolution/optimizer.hpp"
#include "evolution/optimizers/beta_settings.hpp"

namespace tessaron {

// A search: how it makes its children.
struct BetaSearch {
    std::string_view name;
    // Refuses with InvalidData a run of pop_size members (the settings are checked already).
    void (*check_run)(const BetaSettings& settings, std::int32_t pop_size);
    std::unique_ptr<Optimizer> (*make)(const BetaSettings& settings);
};

// The registered searches, in the order their names are listed.
std::span<const BetaSearch> beta_searches();

// The search of that name, or null.
const BetaSearch* find_beta_search(std::string_view name);

// The names as a message lists the choices: "'select' or 'gradient'".
std::string beta_search_names();

// A Beta optimizer of these settings for a run of pop_size members, after both checks.
std::unique_ptr<Optimizer> make_beta(const BetaSettings& settings, std::int32_t pop_size);

}  // namespace tessaron
