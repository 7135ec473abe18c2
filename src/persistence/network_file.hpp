// The model file: the bare contents of a network as a headerless little-endian stream.
//
//   offset        bytes  contents
//   0             4      size N (int32)
//   4             4      inputs (int32)
//   8             4      outputs (int32)
//   12            8 N    biases of nodes 0 .. N-1 (float64)
//   12 + 8 N      4 N    activation kinds of nodes 0 .. N-1 (int32)
//   12 + 12 N     16 C   one record per connection, ascending from and then to:
//                        from (int32), to (int32), weight (float64)
//
// The number of records is not stored: they run to the end of the file.
#pragma once

#include <string>
#include <string_view>

#include "network/network.hpp"

namespace tessaron {

// Writes `network` to `path`, replacing an existing file only once the new one is complete.
// Throws InvalidData for a network that no model file can describe (no input, no output, fewer
// nodes than inputs + outputs) and IoError when the system refuses the file.
void write_network_file(const Network& network, const std::string& path);

// Reads the network stored at `path`. The file is checked before anything is built from it: a
// file whose header, node arrays or records do not describe a network of the allowed connection
// pattern throws InvalidData naming the path, the fault and where it lies. A header whose counts
// no network can have (no input, no output, fewer nodes than both, more nodes than any network's
// connections can join: node_count_fault) cannot describe the file at all, and the message says
// first that it is not a tessaron model file. A node count that this machine's memory cannot hold
// is refused too. A network of that pattern that fails the integrity test is returned as it is.
// Throws IoError when the file cannot be opened or read.
Network read_network_file(const std::string& path);

// The bytes of the model file of `network`, held in memory; refuses what write_network_file
// refuses.
std::string encode_network(const Network& network);

// The network that `bytes` encode in the model-file layout, checked as read_network_file checks a
// file. Messages start with `source_name` and speak of "the encoding" where a file's speak of
// "the file".
Network decode_network(std::string_view bytes, const std::string& source_name);

}  // namespace tessaron
