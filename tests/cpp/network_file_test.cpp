#include "persistence/network_file.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <set>
#include <thread>

#include "common/errors.hpp"
#include "network/activation.hpp"
#include "network/integrity.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

using testing::bits;
using testing::expect_same_network;

using testing::build_network;
using testing::random_network;
using Bytes = std::vector<unsigned char>;

// Little-endian bytes assembled by hand, independently of the product's encoder.
struct FileBytes {
    Bytes data;
    FileBytes& i32(std::int32_t value) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        for (int i = 0; i < 4; ++i) data.push_back((bits >> (8 * i)) & 0xff);
        return *this;
    }
    FileBytes& f64(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, 8);
        for (int i = 0; i < 8; ++i) data.push_back((bits >> (8 * i)) & 0xff);
        return *this;
    }
    FileBytes& record(std::int32_t from, std::int32_t to, double weight) {
        return i32(from).i32(to).f64(weight);
    }
};

// The header and node arrays of a file: `size` nodes, biases 0.25 and kinds relu.
FileBytes nodes_file(std::int32_t size, std::int32_t inputs, std::int32_t outputs) {
    FileBytes file;
    file.i32(size).i32(inputs).i32(outputs);
    for (std::int32_t i = 0; i < size; ++i) file.f64(0.25);
    for (std::int32_t i = 0; i < size; ++i) file.i32(2);
    return file;
}

class NetworkFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "network_file_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        for (const std::string& name : entries()) std::remove((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::set<std::string> entries() const {
        std::set<std::string> names;
        DIR* handle = opendir(dir.c_str());
        while (dirent* entry = handle ? readdir(handle) : nullptr)
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.insert(entry->d_name);
        if (handle) closedir(handle);
        return names;
    }

    static Bytes read_bytes(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // A fresh file each time: rewriting a truncated one makes some file systems flush it on close.
    static void write_bytes(const std::string& file, const Bytes& bytes) {
        std::remove(file.c_str());
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }

    std::string dir;
};

TEST_F(NetworkFile, TwoInputsOneOutputMakeTheEightyByteExample) {
    const Network network = build_network(2, 1, 3, {{0, 2, 0.1}, {1, 2, -2.0}}, {0.5, -1.25, 3.0},
                                          {linear, tanh_kind, sigmoid});
    write_network_file(network, path("example.tsn"));
    const Bytes expected = {
        0x03, 0,    0,    0,    0x02, 0, 0,    0,    0x01, 0,    0,    0,  // size, inputs, outputs
        0,    0,    0,    0,    0,    0, 0xe0, 0x3f,                       // bias 0.5
        0,    0,    0,    0,    0,    0, 0xf4, 0xbf,                       // bias -1.25
        0,    0,    0,    0,    0,    0, 0x08, 0x40,                       // bias 3.0
        0x03, 0,    0,    0,    0x01, 0, 0,    0,    0x00, 0,    0,    0,  // kinds
        0,    0,    0,    0,    0x02, 0, 0,    0,    0x9a, 0x99, 0x99, 0x99,
        0x99, 0x99, 0xb9, 0x3f,  // 0->2, 0.1
        1,    0,    0,    0,    0x02, 0, 0,    0,    0,    0,    0,    0,
        0,    0,    0,    0xc0,  // 1->2, -2.0
    };
    ASSERT_EQ(expected.size(), 80u);
    EXPECT_EQ(read_bytes(path("example.tsn")), expected);
    expect_same_network(read_network_file(path("example.tsn")), network);
    EXPECT_EQ(entries(), std::set<std::string>{"example.tsn"});
}

TEST_F(NetworkFile, NetworkWithoutConnectionsIsHeaderAndNodeArraysOnly) {
    const Network network = build_network(3, 2, 7, {}, {1, 2, 3, 4, 5, 6, 7});
    write_network_file(network, path("bare.tsn"));
    EXPECT_EQ(read_bytes(path("bare.tsn")).size(), 12u + 12u * 7u);
    const Network read = read_network_file(path("bare.tsn"));
    expect_same_network(read, network);
    EXPECT_EQ(connection_count(read), 0u);
    // The shape is right, so it loads although it fails the integrity test.
    EXPECT_FALSE(is_valid(read));
}

TEST_F(NetworkFile, SpecialRealsSurviveBitForBit) {
    const double specials[] = {
        -0.0,
        std::numeric_limits<double>::denorm_min(),
        -2.5e-310,
        std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}),  // signalling NaN
        std::bit_cast<double>(std::uint64_t{0xfff8000000000abc}),  // negative NaN with payload
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::max(),
        0.1,
    };
    Network network = random_network(2, 2, 6);
    std::int32_t slot = 0;
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from,
                        [&](std::int32_t to) { network.link(from, to) = specials[slot++ % 8]; });
    for (std::int32_t i = 0; i < network.size; ++i) network.biases[i] = specials[(i + 3) % 8];
    write_network_file(network, path("special.tsn"));
    const Network read = read_network_file(path("special.tsn"));
    expect_same_network(read, network);
    write_network_file(read, path("again.tsn"));
    EXPECT_EQ(read_bytes(path("again.tsn")), read_bytes(path("special.tsn")));
}

TEST_F(NetworkFile, SparseNetworksAcrossRowWordsRoundTrip) {
    std::mt19937 engine(7);
    for (std::int32_t hidden : {0, 1, 58, 59, 60, 61, 125}) {
        Network network = random_network(3, 2, hidden);
        testing::thin_out(network, 0.6, engine);
        write_network_file(network, path("sparse.tsn"));
        const std::size_t n = network.size;
        EXPECT_EQ(read_bytes(path("sparse.tsn")).size(),
                  12 + 12 * n + 16 * connection_count(network));
        expect_same_network(read_network_file(path("sparse.tsn")), network);
    }
    EXPECT_EQ(entries(), std::set<std::string>{"sparse.tsn"});
}

TEST_F(NetworkFile, RecordsApplyInFileOrderAndLaterOnesOverwrite) {
    FileBytes file = nodes_file(4, 2, 1);
    file.record(2, 3, 1.5).record(0, 2, -1.0).record(1, 3, 4.0).record(2, 3, 7.0);
    write_bytes(path("unordered.tsn"), file.data);
    const Network read = read_network_file(path("unordered.tsn"));
    EXPECT_EQ(connection_count(read), 3u);
    EXPECT_EQ(read.weight(2, 3), 7.0);
    EXPECT_EQ(read.weight(0, 2), -1.0);
    EXPECT_EQ(read.weight(1, 3), 4.0);
    EXPECT_EQ(read.biases, std::vector<double>(4, 0.25));
    EXPECT_EQ(read.activations, std::vector<std::int32_t>(4, relu));
    // Written back, the records come in row-major order.
    write_network_file(read, path("ordered.tsn"));
    FileBytes ordered = nodes_file(4, 2, 1);
    ordered.record(0, 2, -1.0).record(1, 3, 4.0).record(2, 3, 7.0);
    EXPECT_EQ(read_bytes(path("ordered.tsn")), ordered.data);
}

TEST_F(NetworkFile, MalformedFilesAreRefusedWithWhatAndWhere) {
    const std::int32_t most = std::numeric_limits<std::int32_t>::max();
    FileBytes short_arrays = nodes_file(3, 2, 1);
    short_arrays.data.pop_back();
    FileBytes bad_kind = nodes_file(3, 2, 1);
    bad_kind.data[44] = 4;
    FileBytes negative_kind = nodes_file(3, 2, 1);
    negative_kind.data[36] = negative_kind.data[37] = negative_kind.data[38] =
        negative_kind.data[39] = 0xff;
    FileBytes partial = nodes_file(3, 2, 1);
    partial.record(0, 2, 1.0).data.insert(partial.data.end(), 5, 0);

    // Headers that no network has cannot describe the file at all.
    const std::string not_model = "not a tessaron model file: ";
    const struct {
        Bytes bytes;
        std::string fault;
    } cases[] = {
        {{}, "the file has 0 bytes, fewer than the 12 of the header"},
        {Bytes(11, 1), "the file has 11 bytes, fewer than the 12 of the header"},
        {nodes_file(3, 0, 1).data,
         not_model + "the header gives 0 inputs (byte offset 4); a network needs at least 1"},
        {nodes_file(3, 1, -1).data,
         not_model + "the header gives -1 outputs (byte offset 8); a network needs at least 1"},
        {nodes_file(2, 2, 1).data,
         not_model + "the header gives 2 nodes (byte offset 0), fewer than inputs + outputs (3)"},
        {FileBytes().i32(-5).i32(1).i32(1).data,
         not_model + "the header gives -5 nodes (byte offset 0), fewer than inputs + outputs (2)"},
        {FileBytes().i32(most).i32(most).i32(most).data,
         not_model +
             "the header gives 2147483647 nodes (byte offset 0), fewer than inputs + outputs "
             "(4294967294)"},
        // A count beyond every network's is refused before anything is allocated for it.
        {FileBytes().i32(most).i32(1).i32(1).data,
         not_model +
             "the header gives 2147483647 nodes (byte offset 0), too many: a network of 2147483647 "
             "nodes with 1 input and 1 output has 2305843005992468481 possible connections, which "
             "would take 27670116106269360128 bytes; a network holds at most 2147483647 "
             "connections"},
        {short_arrays.data,
         "the header gives 3 nodes, whose biases and activation kinds end at byte 48, but the "
         "file ends at byte 47"},
        {bad_kind.data, "node 2 has activation kind 4 (byte offset 44); kinds run from 0 to 3"},
        {negative_kind.data,
         "node 0 has activation kind -1 (byte offset 36); kinds run from 0 to 3"},
        {nodes_file(3, 2, 1).record(0, 3, 1.0).data,
         "connection record 0 (byte offset 48) runs from node 0 to node 3, outside the nodes 0 "
         ".. 2"},
        {nodes_file(3, 2, 1).record(-1, 2, 1.0).data,
         "connection record 0 (byte offset 48) runs from node -1 to node 2, outside the nodes 0 "
         ".. 2"},
        {nodes_file(4, 1, 1).record(0, 1, 1.0).record(2, 1, 1.0).data,
         "connection record 1 (byte offset 76) runs from node 2 to node 1, but connections run "
         "only to a higher node index"},
        {nodes_file(4, 1, 1).record(2, 2, 1.0).data,
         "connection record 0 (byte offset 60) runs from node 2 to node 2, but connections run "
         "only to a higher node index"},
        {nodes_file(4, 2, 1).record(0, 1, 1.0).data,
         "connection record 0 (byte offset 60) runs from node 0 to node 1, but node 1 is an "
         "input node (nodes 0 .. 1)"},
        {nodes_file(4, 1, 2).record(2, 3, 1.0).data,
         "connection record 0 (byte offset 60) runs from node 2 to node 3, but node 2 is an "
         "output node (nodes 2 .. 3)"},
        {partial.data, "connection record 1 (byte offset 64) is cut off after 5 of its 16 bytes"},
    };
    for (const auto& c : cases) {
        write_bytes(path("bad.tsn"), c.bytes);
        try {
            read_network_file(path("bad.tsn"));
            ADD_FAILURE() << "accepted: " << c.fault;
        } catch (const InvalidData& error) {
            EXPECT_EQ(error.what(), "model file '" + path("bad.tsn") + "': " + c.fault);
        }
    }
}

// Under the sanitizers this shows that no damaged file makes the reader touch memory outside
// the network it builds.
TEST_F(NetworkFile, DamagedFilesAreRefusedOrGiveConsistentNetworks) {
    Network network = random_network(3, 2, 7);
    write_network_file(network, path("good.tsn"));
    const Bytes good = read_bytes(path("good.tsn"));
    std::mt19937 engine(11);
    int loaded = 0, refused = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        Bytes bytes = good;
        const int edits = 1 + trial % 3;
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = engine() % bytes.size();
            switch (engine() % 3) {
                case 0:
                    bytes[at] = engine() & 0xff;
                    break;
                case 1:
                    bytes[at - at % 4] = static_cast<unsigned char>(engine() % 12);
                    break;
                default:
                    bytes.resize(at + 1);
                    break;
            }
        }
        write_bytes(path("damaged.tsn"), bytes);
        try {
            const Network read = read_network_file(path("damaged.tsn"));
            ++loaded;
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
        } catch (const InvalidData&) {
            ++refused;
        }
    }
    EXPECT_GT(loaded, 100);
    EXPECT_GT(refused, 100);
}

TEST_F(NetworkFile, HugeCountsInShortFilesAllocateNothing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
#else
    // With the address space capped a little above what the process uses, any storage sized
    // from the header's count alone would fail with bad_alloc instead of the refusal.
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    ASSERT_GT(pages, 0);
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (256 << 20);
    FileBytes file = FileBytes().i32(1 << 28).i32(1).i32(1);
    for (int i = 0; i < 100; ++i) file.f64(1.0);
    write_bytes(path("huge.tsn"), file.data);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
    std::string message;
    try {
        read_network_file(path("huge.tsn"));
    } catch (const std::exception& error) {
        message = error.what();
    }
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(message, "model file '" + path("huge.tsn") +
                           "': not a tessaron model file: the header gives 268435456 nodes (byte "
                           "offset 0), too many: a network of 268435456 nodes with 1 input and 1 "
                           "output has 36028796884746240 possible connections, which would take "
                           "432345566911922180 bytes; a network holds at most 2147483647 "
                           "connections");
#endif
}

TEST_F(NetworkFile, StreamsOfUnknownLengthAreCheckedAsTheyAreRead) {
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    auto read_through_pipe = [&](const Bytes& bytes) {
        std::thread writer([&] {
            std::ofstream(path("pipe"), std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        });
        struct Join {
            std::thread& thread;
            ~Join() { thread.join(); }
        } join{writer};
        return read_network_file(path("pipe"));
    };
    const Network network = random_network(2, 1, 3);
    write_network_file(network, path("model.tsn"));
    expect_same_network(read_through_pipe(read_bytes(path("model.tsn"))), network);
    try {
        read_through_pipe(FileBytes().i32(10000).i32(1).i32(1).data);
        ADD_FAILURE() << "a count without its arrays was accepted";
    } catch (const InvalidData& error) {
        EXPECT_EQ(error.what(), "model file '" + path("pipe") +
                                    "': the header gives 10000 nodes, whose biases and "
                                    "activation kinds end at byte 120012, but the file ends at "
                                    "byte 12");
    }
}

void expect_io_error(const std::function<void()>& action, int error_number,
                     const std::string& file) {
    try {
        action();
        ADD_FAILURE() << "no failure for " << file;
    } catch (const IoError& error) {
        EXPECT_EQ(error.error_number, error_number) << file;
        EXPECT_EQ(error.path, file);
        EXPECT_EQ(error.what(), std::string(std::strerror(error_number)));
    }
}

TEST_F(NetworkFile, SystemRefusalsBecomeIoErrorsWithErrnoAndPath) {
    const Network network = random_network(2, 1, 0);
    expect_io_error([&] { read_network_file(path("missing.tsn")); }, ENOENT, path("missing.tsn"));
    expect_io_error([&] { read_network_file(dir); }, EISDIR, dir);
    expect_io_error([&] { write_network_file(network, path("no/such.tsn")); }, ENOENT,
                    path("no/such.tsn"));
    expect_io_error([&] { write_network_file(network, dir); }, EISDIR, dir);
    expect_io_error([&] { write_network_file(network, path("new.tsn/")); }, EISDIR,
                    path("new.tsn/"));
    expect_io_error([&] { write_network_file(network, ""); }, ENOENT, "");
    EXPECT_TRUE(entries().empty());
}

TEST_F(NetworkFile, NetworkOfNoModelShapeIsNotWritten) {
    try {
        write_network_file(Network(), path("empty.tsn"));
        ADD_FAILURE() << "an empty network was written";
    } catch (const InvalidData& error) {
        EXPECT_STREQ(error.what(),
                     "cannot save a network of 0 nodes with 0 inputs and 0 outputs: a model needs "
                     "at least one input, one output and inputs + outputs nodes");
    }
    EXPECT_TRUE(entries().empty());
}

TEST_F(NetworkFile, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    const Network old_network = random_network(2, 1, 0);
    write_network_file(old_network, path("model.tsn"));
    const Bytes old_bytes = read_bytes(path("model.tsn"));
    const Network big = random_network(4, 3, 40);  // about 19 KB of records

    // Tests run as root, so a file size limit stands in for a full disk: writes beyond it fail
    // with EFBIG once the signal it raises is ignored.
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    auto* saved_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    int error_number = 0;
    try {
        write_network_file(big, path("model.tsn"));
    } catch (const IoError& error) {
        error_number = error.error_number;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, saved_handler);

    EXPECT_EQ(error_number, EFBIG);
    EXPECT_EQ(read_bytes(path("model.tsn")), old_bytes);
    EXPECT_EQ(entries(), std::set<std::string>{"model.tsn"});
}

TEST_F(NetworkFile, FullDeviceIsWrittenInPlaceAndReportsNoSpace) {
    struct stat info;
    if (stat("/dev/full", &info) != 0 || !S_ISCHR(info.st_mode)) GTEST_SKIP() << "no /dev/full";
    const Network network = random_network(2, 1, 0);
    expect_io_error([&] { write_network_file(network, "/dev/full"); }, ENOSPC, "/dev/full");
    // A device is never replaced by a regular file.
    ASSERT_EQ(stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST_F(NetworkFile, SavingAgainReplacesTheFileKeepingModeAndLinks) {
    write_network_file(random_network(3, 2, 6), path("model.tsn"));
    ASSERT_EQ(chmod(path("model.tsn").c_str(), 0640), 0);
    const Network second = random_network(2, 1, 1);
    write_network_file(second, path("model.tsn"));
    expect_same_network(read_network_file(path("model.tsn")), second);
    struct stat info;
    ASSERT_EQ(stat(path("model.tsn").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_size, 12 + 12 * 4 + 16 * 5);

    // Through a symbolic link the file it names is replaced and the link stays.
    ASSERT_EQ(symlink("model.tsn", path("link.tsn").c_str()), 0);
    const Network third = random_network(1, 1, 2);
    write_network_file(third, path("link.tsn"));
    struct stat link_info;
    ASSERT_EQ(lstat(path("link.tsn").c_str(), &link_info), 0);
    EXPECT_TRUE(S_ISLNK(link_info.st_mode));
    expect_same_network(read_network_file(path("model.tsn")), third);
    EXPECT_EQ(entries(), (std::set<std::string>{"link.tsn", "model.tsn"}));
}

}  // namespace
}  // namespace tessaron
