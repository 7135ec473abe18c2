#include "persistence/network_file.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "network/activation.hpp"
#include "persistence/byte_order.hpp"
#include "persistence/file_io.hpp"

namespace tessaron {
namespace {

constexpr std::uint64_t header_bytes = 12;
constexpr std::uint64_t record_bytes = 16;

// Bytes before the first connection record of a file of `nodes` nodes; no overflow, as nodes is
// below 2^31.
std::uint64_t records_offset(std::int32_t nodes) {
    return header_bytes + 12 * static_cast<std::uint64_t>(nodes);
}

// Where the bytes being read come from: `name` starts every message ("model file 'x.tsn'") and
// `noun` is what the bytes are called in it ("file"). A header whose counts no network has
// cannot describe the bytes at all: for a file given by the user, its fault is preceded by
// `foreign`, which says so ("not a tessaron model file: ").
struct Origin {
    std::string name;
    const char* noun;
    const char* foreign;
};

[[noreturn]] void refuse(const Origin& origin, const std::string& fault) {
    throw InvalidData(origin.name + ": " + fault);
}

std::string text(std::int64_t value) {
    return std::to_string(value);
}
std::string text(std::uint64_t value) {
    return std::to_string(value);
}

// The header promises more node data than the bytes hold, which end at byte `end`.
[[noreturn]] void refuse_short_node_arrays(const Origin& path, std::int32_t size,
                                           std::uint64_t end) {
    refuse(path, "the header gives " + text(std::int64_t{size}) +
                     " nodes, whose biases and activation kinds end at byte " +
                     text(records_offset(size)) + ", but the " + path.noun + " ends at byte " +
                     text(end));
}

void check_counts(const Origin& path, std::int32_t size, std::int32_t inputs,
                  std::int32_t outputs) {
    const std::string foreign = path.foreign;
    if (inputs < 1)
        refuse(path, foreign + "the header gives " + text(std::int64_t{inputs}) +
                         " inputs (byte offset 4); a network needs at least 1");
    if (outputs < 1)
        refuse(path, foreign + "the header gives " + text(std::int64_t{outputs}) +
                         " outputs (byte offset 8); a network needs at least 1");
    const std::int64_t minimum = std::int64_t{inputs} + outputs;
    if (size < minimum)
        refuse(path, foreign + "the header gives " + text(std::int64_t{size}) +
                         " nodes (byte offset 0), fewer than inputs + outputs (" + text(minimum) +
                         ")");
    if (const auto fault = node_count_fault(size, inputs, outputs))
        refuse(path, (fault->on_every_machine ? foreign : std::string()) + "the header gives " +
                         text(std::int64_t{size}) +
                         " nodes (byte offset 0), too many: " + fault->reason);
}

// Encoded bytes held in memory, read like a file of known length.
class MemorySource {
  public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::optional<std::uint64_t> length() const { return bytes_.size(); }
    std::size_t read(unsigned char* out, std::size_t count) {
        const std::size_t copied = std::min(count, bytes_.size() - position_);
        if (copied > 0) std::memcpy(out, bytes_.data() + position_, copied);
        position_ += copied;
        return copied;
    }

  private:
    std::string_view bytes_;
    std::size_t position_ = 0;
};

// Appends the encoding to a string.
struct StringSink {
    std::string& out;
    void put(const unsigned char* bytes, std::size_t count) {
        out.append(reinterpret_cast<const char*>(bytes), count);
    }
};

// Reads the biases and activation kinds of `size` nodes. The arrays grow with the bytes actually
// read, so a source that claims more nodes than it holds never gets their storage.
template <class Source>
void read_node_arrays(Source& source, const Origin& path, std::int32_t size,
                      std::vector<double>& biases, std::vector<std::int32_t>& activations) {
    const auto nodes = static_cast<std::size_t>(size);
    const std::size_t initial = source.length() ? nodes : std::min<std::size_t>(nodes, 4096);
    biases.reserve(initial);
    activations.reserve(initial);
    unsigned char bytes[8];
    for (std::size_t i = 0; i < nodes; ++i) {
        const std::size_t got = source.read(bytes, 8);
        if (got < 8) refuse_short_node_arrays(path, size, header_bytes + 8 * i + got);
        biases.push_back(load_f64(bytes));
    }
    for (std::size_t i = 0; i < nodes; ++i) {
        const std::size_t got = source.read(bytes, 4);
        const std::uint64_t offset = header_bytes + 8 * static_cast<std::uint64_t>(nodes) + 4 * i;
        if (got < 4) refuse_short_node_arrays(path, size, offset + got);
        const std::int32_t kind = load_i32(bytes);
        if (kind < 0 || kind >= activation_kind_count)
            refuse(path, "node " + text(std::uint64_t{i}) + " has activation kind " +
                             text(std::int64_t{kind}) + " (byte offset " + text(offset) +
                             "); kinds run from 0 to " +
                             text(std::int64_t{activation_kind_count} - 1));
        activations.push_back(kind);
    }
}

void check_encodable(const Network& network) {
    if (network.inputs < 1 || network.outputs < 1 ||
        network.size < std::int64_t{network.inputs} + network.outputs)
        throw InvalidData("cannot save a network of " + text(std::int64_t{network.size}) +
                          " nodes with " + text(std::int64_t{network.inputs}) + " inputs and " +
                          text(std::int64_t{network.outputs}) +
                          " outputs: a model needs at least one input, one output and inputs + "
                          "outputs nodes");
}

template <class Sink>
void write_network(const Network& network, Sink& sink) {
    unsigned char bytes[record_bytes];
    store_i32(bytes, network.size);
    store_i32(bytes + 4, network.inputs);
    store_i32(bytes + 8, network.outputs);
    sink.put(bytes, header_bytes);
    for (std::int32_t i = 0; i < network.size; ++i) {
        store_f64(bytes, network.biases[i]);
        sink.put(bytes, 8);
    }
    for (std::int32_t i = 0; i < network.size; ++i) {
        store_i32(bytes, network.activations[i]);
        sink.put(bytes, 4);
    }
    for (std::int32_t from = 0; from < network.size; ++from) {
        for (std::int32_t e = network.out_begin(from); e < network.out_end(from); ++e) {
            store_i32(bytes, from);
            store_i32(bytes + 4, network.targets[e]);
            store_f64(bytes + 8, network.weights[e]);
            sink.put(bytes, record_bytes);
        }
    }
}

template <class Source>
Network read_network(Source& source, const Origin& path) {
    unsigned char bytes[record_bytes];
    const std::size_t got = source.read(bytes, header_bytes);
    if (got < header_bytes)
        refuse(path, std::string("the ") + path.noun + " has " + text(std::uint64_t{got}) +
                         " bytes, fewer than the 12 of the header");
    const std::int32_t size = load_i32(bytes);
    const std::int32_t inputs = load_i32(bytes + 4);
    const std::int32_t outputs = load_i32(bytes + 8);
    check_counts(path, size, inputs, outputs);
    // Checked before anything is allocated for the nodes.
    const std::uint64_t first_record = records_offset(size);
    if (source.length() && *source.length() < first_record)
        refuse_short_node_arrays(path, size, *source.length());

    std::vector<double> biases;
    std::vector<std::int32_t> activations;
    read_node_arrays(source, path, size, biases, activations);

    Network network(inputs, outputs);
    reset(network, size);
    network.biases = std::move(biases);
    network.activations = std::move(activations);
    // Records are applied in order: a later record of the same pair overwrites the weight.
    std::vector<Link> links;
    for (std::uint64_t record = 0;; ++record) {
        const std::uint64_t offset = first_record + record_bytes * record;
        const std::size_t have = source.read(bytes, record_bytes);
        if (have == 0) break;
        auto where = [&] {
            return "connection record " + text(record) + " (byte offset " + text(offset) + ")";
        };
        if (have < record_bytes)
            refuse(path,
                   where() + " is cut off after " + text(std::uint64_t{have}) + " of its 16 bytes");
        const std::int32_t from = load_i32(bytes);
        const std::int32_t to = load_i32(bytes + 4);
        if (!connection_allowed(from, to, size, inputs, outputs))
            refuse(path, where() + " " + connection_fault(from, to, size, inputs, outputs));
        links.push_back(Link{from, to, load_f64(bytes + 8)});
    }
    set_connections(network, std::move(links));
    return network;
}

}  // namespace

void write_network_file(const Network& network, const std::string& path) {
    check_encodable(network);
    write_file_safely(path, [&](ByteSink& sink) { write_network(network, sink); });
}

Network read_network_file(const std::string& path) {
    InputFile file(path);
    return read_network(file,
                        Origin{"model file '" + path + "'", "file", "not a tessaron model file: "});
}

std::string encode_network(const Network& network) {
    check_encodable(network);
    std::string bytes;
    bytes.reserve(records_offset(network.size) + record_bytes * connection_count(network));
    StringSink sink{bytes};
    write_network(network, sink);
    return bytes;
}

Network decode_network(std::string_view bytes, const std::string& source_name) {
    MemorySource source(bytes);
    return read_network(source, Origin{source_name, "encoding", ""});
}

}  // namespace tessaron
