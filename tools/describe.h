// Compiled filters in readable form: a node table, a Graphviz graph, the raw
// bytes.
#pragma once

#include <span>
#include <string>

#include "zeriza.h"

namespace ztool {

// The protocol and parameters of an atom as rule text, e.g. "TCP SD=80 F=S^A".
std::string describe_atom(const filt_node &node);

// Each of these takes any filter that nif_filt_check accepts, whatever its
// atoms hold.

// One line a node: index, what it is, its flags and children.
std::string node_table(std::span<const filt_node> nodes, const char *indent = "");

// The tree as a Graphviz digraph.
std::string dot_graph(std::span<const filt_node> nodes);

// The bytes, 16 to a line, node by node.
std::string hex_dump(std::span<const filt_node> nodes);

} // namespace ztool
