// The stages of the filter compiler, between nif_filt_parse and the rule tree.
#pragma once

#include <cstdint>

#include "pktfilt/trule.h"

namespace zeriza {

// Brackets nest at most this deep; deeper text is refused before the
// recursion that parses it could exhaust the stack.
constexpr int kMaxBracketDepth = 64;

// Parse writable, NUL-terminated filter text into `rule` (zero-filled), in
// place. `depth` is the number of brackets around the text. Returns the NUL
// that ends the text, or null with the message in gnl_usrmsg.
char *parse_rule(char *text, trule *rule, int negate, int depth);

// The text of one parameter value while it is converted: cut at its end by
// a NUL that stands in for `saved`.
struct ValueText {
    char *start;
    char *end;
    char saved;

    // Put the end back so that a message can quote the text beyond the value.
    void restore() const { *end = saved; }
};

// Convert the value of parameter `parm` (a parameter token) with operator
// `relop` into the value fields of `rule`. False with a message on failure.
bool convert_value(trule *rule, int32_t parm, char relop, const ValueText &value);

// Fold away every single-child group of the tree in place.
void optimise_trule(trule *rule);

// Write `rule` and its descendants into `nodes` from slot `index`, handing
// out child blocks from `next_free`. Returns the new first free slot.
int transform_trule(const trule *rule, filt_node *nodes, int index, int next_free);

} // namespace zeriza
