// The history dictionaries that the evolution loops return, and their shared argument checks.
#pragma once

#include <cstdint>
#include <vector>

#include "evolution/run_loop.hpp"
#include "module/py_ref.hpp"
#include "network/network.hpp"

namespace tessaron {

// pop_size even and at least 2, epochs at least 0, and a network to start from (a Model made by
// __new__ alone has none); otherwise ValueError.
void check_evolution_counts(std::int32_t pop_size, std::int32_t epochs, const Network& start);

// "loss", one key per metric, "val_loss" and "val_<metric>" with validation, "size" with monitors.
PyRef dataset_history(const RunResult& result, const std::vector<std::int32_t>& losses,
                      bool has_validation, bool show_size);

// "loss", "val_loss" with a validation function, "size" with monitors.
PyRef function_history(const RunResult& result, bool has_validation, bool show_size);

// The values of one epoch under the keys of its history, then the search's figures (its step size,
// say): the logs handed to callbacks.
PyRef dataset_logs(const EpochRecord& record, const std::vector<std::int32_t>& losses,
                   bool has_validation, bool show_size, const SearchFigures& figures);
PyRef function_logs(const EpochRecord& record, bool has_validation, bool show_size,
                    const SearchFigures& figures);

}  // namespace tessaron
