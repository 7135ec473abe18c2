#include "evolution/optimizer.hpp"

#include <string>

#include "common/errors.hpp"

namespace tessaron {

const std::vector<double>& no_score_row() {
    static const std::vector<double> none;
    return none;
}

void check_score_rows(std::size_t pool_size, const ScoreRows& rows) {
    if (rows.size() != pool_size)
        throw InvalidData("scoring a pool of " + std::to_string(pool_size) + " networks gave " +
                          std::to_string(rows.size()) + " rows");
    for (const std::vector<double>& row : rows)
        if (row.empty()) throw InvalidData("scoring a pool gave a row without a loss");
}

bool run_generation(Optimizer& optimizer, const ScoreFunction& score) {
    const std::vector<Network>& pool = optimizer.ask();
    return optimizer.tell(pool.empty() ? ScoreRows{} : score(pool));
}

}  // namespace tessaron
