// The in-memory encoding of a network: the model-file layout, with the file reader's checks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "common/errors.hpp"
#include "network/activation.hpp"
#include "network_builders.hpp"
#include "persistence/network_file.hpp"

namespace tessaron {
namespace {

using testing::bits;
using testing::expect_same_network;

using testing::build_network;
using testing::random_network;

// Little-endian bytes assembled by hand, independently of the encoder.
struct Bytes {
    std::string data;
    Bytes& i32(std::int32_t value) {
        const auto bits = std::bit_cast<std::uint32_t>(value);
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
        return *this;
    }
    Bytes& f64(double value) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        for (int i = 0; i < 8; ++i) data.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
        return *this;
    }
    Bytes& record(std::int32_t from, std::int32_t to, double weight) {
        return i32(from).i32(to).f64(weight);
    }
};

std::string file_bytes(const Network& network) {
    char name[] = "/tmp/network_codec_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    write_network_file(network, name);
    std::ifstream in(name, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::remove(name);
    return bytes;
}

TEST(NetworkCodec, EncodingIsTheEightyByteExampleOfTheFileLayout) {
    const Network network = build_network(2, 1, 3, {{0, 2, 0.1}, {1, 2, -2.0}}, {0.5, -1.25, 3.0},
                                          {linear, tanh_kind, sigmoid});
    const std::string expected = Bytes()
                                     .i32(3)
                                     .i32(2)
                                     .i32(1)
                                     .f64(0.5)
                                     .f64(-1.25)
                                     .f64(3.0)
                                     .i32(linear)
                                     .i32(tanh_kind)
                                     .i32(sigmoid)
                                     .record(0, 2, 0.1)
                                     .record(1, 2, -2.0)
                                     .data;
    EXPECT_EQ(encode_network(network), expected);
    EXPECT_EQ(file_bytes(network), expected);
}

TEST(NetworkCodec, EncodingEqualsTheFileAndDecodesBitForBit) {
    const double specials[] = {
        -0.0,
        std::numeric_limits<double>::denorm_min(),
        std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}),  // signalling NaN
        std::bit_cast<double>(std::uint64_t{0xfff8000000000abc}),  // negative NaN with payload
        -std::numeric_limits<double>::infinity(),
        0.1,
    };
    std::mt19937 engine(5);
    for (std::int32_t hidden : {0, 3, 61, 130}) {
        Network network = random_network(3, 2, hidden);
        testing::thin_out(network, 0.5, engine);
        std::int32_t slot = 0;
        for (std::int32_t from = 0; from < network.size; from += 2)
            for_each_target(network, from, [&](std::int32_t to) {
                network.link(from, to) = specials[slot++ % 6];
            });
        network.biases[network.size - 1] = specials[(hidden + 2) % 6];
        const std::string bytes = encode_network(network);
        EXPECT_EQ(bytes.size(), 12 + 12 * static_cast<std::size_t>(network.size) +
                                    16 * connection_count(network));
        EXPECT_EQ(bytes, file_bytes(network)) << hidden << " hidden nodes";
        const Network decoded = decode_network(bytes, "state");
        expect_same_network(decoded, network);
        EXPECT_EQ(encode_network(decoded), bytes);
    }
}

TEST(NetworkCodec, NetworksNoModelCanHoldAreNotEncoded) {
    for (const Network& network : {Network(), Network(0, 1), Network(2, 0)}) {
        try {
            encode_network(network);
            ADD_FAILURE() << "encoded a network of " << network.size << " nodes";
        } catch (const InvalidData& error) {
            EXPECT_NE(std::string(error.what()).find("cannot save a network of"),
                      std::string::npos);
        }
    }
}

// The checks are those of the file reader; the messages name the caller's source and speak of
// the encoding instead of the file.
TEST(NetworkCodec, MalformedEncodingsAreRefusedWithWhatAndWhere) {
    const auto nodes = [](std::int32_t size, std::int32_t inputs, std::int32_t outputs) {
        Bytes bytes;
        bytes.i32(size).i32(inputs).i32(outputs);
        for (std::int32_t i = 0; i < size; ++i) bytes.f64(0.25);
        for (std::int32_t i = 0; i < size; ++i) bytes.i32(relu);
        return bytes;
    };
    std::string short_arrays = nodes(3, 2, 1).data;
    short_arrays.pop_back();
    Bytes bad_kind = nodes(3, 2, 1);
    bad_kind.data[44] = 4;
    std::string partial = nodes(3, 2, 1).record(0, 2, 1.0).data + std::string(5, '\0');
    const int most = std::numeric_limits<std::int32_t>::max();
    const struct {
        std::string bytes;
        std::string fault;
    } cases[] = {
        {"", "the encoding has 0 bytes, fewer than the 12 of the header"},
        {Bytes().i32(3).i32(2).data, "the encoding has 8 bytes, fewer than the 12 of the header"},
        {Bytes().i32(3).i32(0).i32(1).data,
         "the header gives 0 inputs (byte offset 4); a network needs at least 1"},
        {Bytes().i32(3).i32(2).i32(-1).data,
         "the header gives -1 outputs (byte offset 8); a network needs at least 1"},
        {Bytes().i32(2).i32(2).i32(1).data,
         "the header gives 2 nodes (byte offset 0), fewer than inputs + outputs (3)"},
        {Bytes().i32(most).i32(1).i32(1).data,
         "the header gives 2147483647 nodes (byte offset 0), too many: a network of 2147483647 "
         "nodes with 1 input and 1 output has 2305843005992468481 possible connections, which "
         "would take 27670116106269360128 bytes; a network holds at most 2147483647 connections"},
        {short_arrays,
         "the header gives 3 nodes, whose biases and activation kinds end at byte 48, but the "
         "encoding ends at byte 47"},
        {bad_kind.data, "node 2 has activation kind 4 (byte offset 44); kinds run from 0 to 3"},
        {nodes(3, 2, 1).record(0, 3, 1.0).data,
         "connection record 0 (byte offset 48) runs from node 0 to node 3, outside the nodes 0 "
         ".. 2"},
        {nodes(4, 1, 1).record(0, 1, 1.0).record(2, 1, 1.0).data,
         "connection record 1 (byte offset 76) runs from node 2 to node 1, but connections run "
         "only to a higher node index"},
        {nodes(4, 2, 1).record(0, 1, 1.0).data,
         "connection record 0 (byte offset 60) runs from node 0 to node 1, but node 1 is an "
         "input node (nodes 0 .. 1)"},
        {nodes(4, 1, 2).record(2, 3, 1.0).data,
         "connection record 0 (byte offset 60) runs from node 2 to node 3, but node 2 is an "
         "output node (nodes 2 .. 3)"},
        {partial, "connection record 1 (byte offset 64) is cut off after 5 of its 16 bytes"},
    };
    for (const auto& c : cases) {
        try {
            decode_network(c.bytes, "the network of the state");
            ADD_FAILURE() << "accepted: " << c.fault;
        } catch (const InvalidData& error) {
            EXPECT_EQ(error.what(), "the network of the state: " + c.fault);
        }
    }
}

// Under the sanitizers this shows that no damaged encoding makes the decoder touch memory
// outside the network it builds.
TEST(NetworkCodec, DamagedEncodingsAreRefusedOrGiveConsistentNetworks) {
    const std::string good = encode_network(random_network(3, 2, 7));
    std::mt19937 engine(23);
    int decoded = 0, refused = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        std::string bytes = good;
        for (int e = 0; e <= trial % 3; ++e) {
            const std::size_t at = engine() % bytes.size();
            switch (engine() % 3) {
                case 0:
                    bytes[at] = static_cast<char>(engine() & 0xff);
                    break;
                case 1:
                    bytes[at - at % 4] = static_cast<char>(engine() % 12);
                    break;
                default:
                    bytes.resize(at + 1);
                    break;
            }
        }
        try {
            const Network read = decode_network(bytes, "damaged");
            ++decoded;
            ASSERT_EQ(read.biases.size(), static_cast<std::size_t>(read.size));
            ASSERT_EQ(read.first_out.size(), static_cast<std::size_t>(read.size) + 1);
            ASSERT_EQ(read.weights.size(), read.targets.size());
            for (std::int32_t from = 0; from < read.size; ++from)
                for (std::int32_t to = 0; to < read.size; ++to) {
                    const bool allowed =
                        from < to && to >= read.inputs && from < read.size - read.outputs;
                    if (!allowed) {
                        ASSERT_FALSE(read.connected(from, to)) << from << "->" << to;
                    }
                    if (!read.connected(from, to)) {
                        ASSERT_EQ(read.weight(from, to), 0.0);
                    }
                }
        } catch (const InvalidData& error) {
            ++refused;
            ASSERT_EQ(std::string(error.what()).rfind("damaged: ", 0), 0u) << error.what();
        }
    }
    EXPECT_GT(decoded, 100);
    EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace tessaron
