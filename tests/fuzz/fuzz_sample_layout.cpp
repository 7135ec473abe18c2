// The reader of sample arrays on any layout an array library may give (any shape, strides of
// any sign and size, overlapping rows): the copy holds value (i, j) from where the layout puts
// it; a layout read in place gives the same values, the same first non-finite value and the same
// losses bit for bit as the copy.
//
// Input: rows, columns, row and column strides in bytes, whether y-like packing is asked for,
// then the bytes that fill the array's memory (repeated as needed).
#include <vector>

#include "evolution/losses.hpp"
#include "fuzz_support.hpp"
#include "network/sample_layout.hpp"

using namespace tessaron;

namespace {

// A fixed network reading `inputs` values: every allowed connection, weights and kinds that
// differ from one to the next.
Network reader_network(std::int32_t inputs) {
    Network network(inputs, 1);
    reset(network, inputs + 3);
    std::vector<Link> links;
    for (std::int32_t from = 0; from < network.size; ++from) {
        network.biases[from] = 0.125 * from;
        network.activations[from] = from % 4;
        const TargetRange range = allowed_targets(from, network.size, inputs, 1);
        for (std::int32_t to = range.first; to < range.last; ++to)
            links.push_back(Link{from, to, 0.25 * (from - to) + 0.5});
    }
    set_connections(network, std::move(links));
    return network;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzBytes input(data, size);
    ArrayLayout layout;
    layout.rows = input.byte() % 300;
    layout.cols = input.byte() % 9;
    const std::uint8_t stride_kind = input.byte();
    // Mostly whole doubles apart (what arrays of doubles have), sometimes any byte count.
    const auto stride = [&](std::int8_t step) {
        return stride_kind & 1 ? std::int64_t{step} : std::int64_t{step} * 8;
    };
    layout.row_stride = stride(input.take<std::int8_t>());
    layout.col_stride = stride_kind & 2 ? 8 : stride(input.take<std::int8_t>());
    const bool packed = stride_kind & 4;
    const std::string_view fill = input.rest();

    // The memory the layout spans, filled with the input's bytes, in doubles so that it is
    // aligned; the first value lies `lowest` bytes below the start of the span.
    std::int64_t lowest = 0, highest = 0;
    if (layout.rows > 0 && layout.cols > 0) {
        for (const std::int64_t step :
             {(layout.rows - 1) * layout.row_stride, (layout.cols - 1) * layout.col_stride}) {
            lowest += std::min<std::int64_t>(step, 0);
            highest += std::max<std::int64_t>(step, 0);
        }
        highest += 8;
    }
    std::vector<double> memory(static_cast<std::size_t>(highest - lowest + 7) / 8 + 1);
    auto* bytes = reinterpret_cast<unsigned char*>(memory.data());
    for (std::size_t b = 0; !fill.empty() && b < memory.size() * 8; ++b)
        bytes[b] = static_cast<unsigned char>(fill[b % fill.size()]);
    const unsigned char* first = bytes - lowest;

    const SampleMatrix copy = copy_table(first, layout);
    for (std::int64_t i = 0; i < layout.rows; ++i)
        for (std::int64_t j = 0; j < layout.cols; ++j)
            fuzz::require(std::memcmp(&copy.row(static_cast<std::int32_t>(i))[j],
                                      first + i * layout.row_stride + j * layout.col_stride,
                                      sizeof(double)) == 0,
                          "the copy holds each value from where the layout puts it");
    const std::optional<std::size_t> in_place = in_place_stride(layout, packed);
    if (!in_place) return 0;
    fuzz::require(!packed || *in_place == static_cast<std::size_t>(layout.cols), "packed rows");
    const auto* values = reinterpret_cast<const double*>(first);
    const auto rows = static_cast<std::int32_t>(layout.rows);
    const auto cols = static_cast<std::int32_t>(layout.cols);
    for (std::int32_t i = 0; i < rows; ++i)
        fuzz::require(std::memcmp(values + i * *in_place, copy.row(i), cols * sizeof(double)) == 0,
                      "rows read in place are the copy's");
    const auto cell = first_non_finite(values, rows, cols, *in_place);
    const auto copy_cell = first_non_finite(copy.values.data(), rows, cols, copy.cols);
    fuzz::require(cell.has_value() == copy_cell.has_value() &&
                      (!cell || (cell->row == copy_cell->row && cell->col == copy_cell->col)),
                  "the same first non-finite value");
    SampleMatrix y(rows, 1);
    for (std::int32_t i = 0; i < rows; ++i) y.row(i)[0] = copy.row(i)[cols - 1];
    const Network network = reader_network(cols);
    const std::vector<std::int32_t> kinds{mse, mae, mape};
    const std::vector<double> read = evaluate_losses(
        network, SampleView{values, cols, *in_place, y.values.data(), 1, rows}, kinds);
    fuzz::require(fuzz::same_bits(read, evaluate_losses(network, all_rows(copy, y), kinds)),
                  "the losses of rows read in place are the copy's");
    return 0;
}
