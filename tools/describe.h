// Compiled filters in readable form: a node table, a Graphviz graph, the raw
// bytes.
#pragma once

#include <cstdio>
#include <span>
#include <string>

#include "zeriza.h"

namespace ztool {

// The protocol and parameters of an atom as rule text, e.g. "TCP SD=80 F=S^A".
std::string describe_atom(const filt_node &node);

// One line a node: index, what it is, its flags and children.
void print_table(std::FILE *out, std::span<const filt_node> nodes, const char *indent = "");

// The tree as a Graphviz digraph.
void print_dot(std::FILE *out, std::span<const filt_node> nodes);

// The bytes, 16 to a line, node by node.
void print_hex(std::FILE *out, std::span<const filt_node> nodes);

} // namespace ztool
