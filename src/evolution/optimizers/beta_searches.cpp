#include "evolution/optimizers/beta_searches.hpp"

#include <iterator>

#include "evolution/optimizers/beta_covariance.hpp"
#include "evolution/optimizers/beta_gradient.hpp"
#include "evolution/optimizers/beta_select.hpp"

namespace tessaron {
namespace {

constexpr BetaSearch registered_searches[] = {
    {"select", check_beta_select_run, make_beta_select},
    {"gradient", check_beta_gradient_run, make_beta_gradient},
    {"covariance", check_beta_covariance_run, make_beta_covariance},
};

}  // namespace

std::span<const BetaSearch> beta_searches() {
    return registered_searches;
}

const BetaSearch* find_beta_search(std::string_view name) {
    for (const BetaSearch& search : registered_searches)
        if (search.name == name) return &search;
    return nullptr;
}

std::string beta_search_names() {
    std::string names;
    const std::size_t count = std::size(registered_searches);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) names += i + 1 == count ? " or " : ", ";
        names.append("'").append(registered_searches[i].name).append("'");
    }
    return names;
}

std::unique_ptr<Optimizer> make_beta(const BetaSettings& settings, std::int32_t pop_size) {
    check_beta_settings(settings);
    check_beta_run(settings, pop_size);
    return find_beta_search(settings.search)->make(settings);
}

}  // namespace tessaron
