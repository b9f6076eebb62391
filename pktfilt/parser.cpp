// The rule parser: filter text to rule tree, with every check of the grammar
// and of the parameters a protocol may take.
//
// The grammar: a text is one protocol rule, or bracketed subrules joined by
// one kind of Boolean operator ('&' or '|'); '^' negates a bracketed subrule
// or a protocol keyword without parameters; a protocol rule is a protocol
// keyword (or "IP#" and a protocol number or name) and parameters to the end
// of its text. The text is cut up in place.
#include <netdb.h>

#include <cstdlib>
#include <cstring>

#include "nifutils/usrmsg.h"
#include "pktfilt/compiler.h"
#include "pktfilt/protocols.h"

namespace zeriza {
namespace {

enum class State {
    ExpectRule, // a protocol keyword, '(' or '^' may follow
    Negated,    // a protocol keyword or '(' must follow
    Complete,   // '&', '|' or the end may follow
};

// The rule's protocol is in the numbered IP form, or its protocol row.
const ProtoRow *protocol_of(const trule *rule)
{
    return rule->tok == TOK_IPNUM ? nullptr : proto_row(rule->tok);
}

bool allowed(const ProtoRow *q, int32_t parm)
{
    return q && listed(q->allowed, parm);
}

// The checks of one parameter P (never SD:2, which is checked as SRC and
// then DST). Leaves the message without its position suffix.
bool check_parm(const trule *rule, int32_t parm, char relop)
{
    const ProtoRow *q = protocol_of(rule);
    if (parm != TOK_LEN) {
        if (!allowed(q, parm)) {
            usrmsg("invalid param for protocol=%s", tok2txt(rule->tok));
            return false;
        }
    }
    const ParmRow *row = parm_row(parm);
    if (!row) {
        usrmsg("Unrecognised param=%s", tok2txt(parm));
        return false;
    }
    if (rule->parms & row->bit) {
        usrmsg("Duplicate '%s' parameter", tok2txt(parm));
        return false;
    }
    for (int32_t c : row->conflicts) {
        if (c == 0)
            break;
        const ParmRow *crow = parm_row(c);
        if (crow && (rule->parms & crow->bit)) {
            usrmsg("'%s' and '%s' in same rule", tok2txt(c), tok2txt(parm));
            return false;
        }
    }
    if (relop != '=') {
        if (row->relop_class == RELOP_EQ) {
            usrmsg("'%c' is only valid relop for '%s' parameters", '=', tok2txt(parm));
            return false;
        }
        if (row->relop_class == RELOP_ADDR && q && q->addr_eq_only) {
            usrmsg("'%c' is only valid relop for %s '%s' parameter", '=', tok2txt(rule->tok),
                   tok2txt(parm));
            return false;
        }
    }
    return true;
}

void record(trule *rule, uint32_t bits, bool negated)
{
    rule->parms |= bits;
    if (negated)
        rule->parms_neg |= bits;
}

// Check and record one parameter; on failure the message gets the position
// of the parameter as its suffix.
bool check_and_record(trule *rule, int32_t parm, char relop, bool negated, const char *value)
{
    bool ok;
    if (parm == TOK_SD2) {
        ok = check_parm(rule, TOK_SRC, relop);
        if (ok) {
            record(rule, PB_SRC, negated);
            ok = check_parm(rule, TOK_DST, relop);
            if (ok)
                record(rule, PB_DST, negated);
        }
    } else {
        ok = check_parm(rule, parm, relop);
        if (ok)
            record(rule, parm_row(parm)->bit, negated);
    }
    // Not quoted(): the parameter and its operator share the braces, and
    // only the value counts toward the 20 characters.
    if (!ok)
        usrmsg_append(" [at {%s%c%.20s...}]", tok2txt(parm), relop, value);
    return ok;
}

// Parameters from `p` to the end of the text.
bool parse_parameters(char *p, trule *rule)
{
    while (*p) {
        stripl(p, 0);
        bool negated = *p == '^';
        if (negated)
            ++p;
        int n = keyword_span(p);
        int32_t parm = keyword_token(p, n);
        if (parm == TOK_NONE) {
            usrmsg("unrecognised keyword, at %s", quoted(p).text);
            return false;
        }
        p += n;
        stripl(p, 0);
        char relop = *p;
        if (relop != '<' && relop != '=' && relop != '>') {
            usrmsg("expected relop, got %s", quoted(p).text);
            return false;
        }
        ++p;
        stripl(p, 0);
        if (!check_and_record(rule, parm, relop, negated, p))
            return false;
        ValueText value{p, p + std::strcspn(p, " \t"), '\0'};
        value.saved = *value.end;
        *value.end = '\0';
        bool ok = convert_value(rule, parm, relop, value);
        value.restore();
        if (!ok)
            return false;
        p = value.end;
    }
    return true;
}

// "IP#" and the protocol: a number, or a name for getprotobyname. `p` is the
// '#'; returns the position after the protocol word, or null.
char *numbered_ip(char *p, trule *rule)
{
    char *word = p + 1;
    int n = keyword_span(word);
    if (n == 0) {
        usrmsg("invalid protocol-id, after '%s:' %s", "IP", quoted(word).text);
        return nullptr;
    }
    char saved = word[n];
    word[n] = '\0';
    int32_t number = 0;
    bool ok = true;
    if (isdecstr(word)) {
        number = static_cast<int32_t>(std::strtol(word, nullptr, 10));
    } else if (const protoent *pe = getprotobyname(word)) {
        number = pe->p_proto;
    } else {
        usrmsg("Invalid IP protocol %s", quoted(word, '(', ')').text);
        ok = false;
    }
    word[n] = saved;
    if (!ok)
        return nullptr;
    rule->tok = TOK_IPNUM;
    rule->lyr = LYR_IP;
    rule->proto = number;
    return word + n;
}

// The text between a '(' and its matching ')', or null when unmatched.
char *matching_bracket(char *open)
{
    int depth = 1;
    for (char *q = open + 1; *q; ++q) {
        if (*q == '(')
            ++depth;
        else if (*q == ')' && --depth == 0)
            return q;
    }
    return nullptr;
}

} // namespace

char *parse_rule(char *text, trule *rule, int negate, int depth)
{
    if (negate)
        rule->flags |= NIF_FLAG_NEGATE;
    stript(text, 0);
    State state = State::ExpectRule;
    char *p = text;
    for (;;) {
        stripl(p, 0);
        if (int n = keyword_span(p)) {
            if (state == State::Complete) {
                usrmsg("misplaced start-of-rule, at %s", quoted(p).text);
                return nullptr;
            }
            if (rule->kids.count != 0) {
                usrmsg("subrule not in parentheses, at %s", quoted(p).text);
                return nullptr;
            }
            rule->tok = keyword_token(p, n);
            if (rule->tok == TOK_NONE) {
                usrmsg("unrecognised keyword, at %s", quoted(p).text);
                return nullptr;
            }
            p += n;
            stripl(p, 0);
            if (rule->tok == TOK_IP && *p == '#') {
                if (!(p = numbered_ip(p, rule)))
                    return nullptr;
            } else if (const ProtoRow *q = proto_row(rule->tok)) {
                rule->lyr = q->layer;
                rule->proto = q->id;
            } else {
                usrmsg("invalid protocol=%s, at %s", tok2txt(rule->tok), quoted(p).text);
                return nullptr;
            }
            if (state == State::Negated) {
                if (*p) {
                    usrmsg("parameters supplied for a negated rule, at %s", quoted(p).text);
                    return nullptr;
                }
                // A negation from the caller and one inside the brackets cancel.
                rule->flags ^= NIF_FLAG_NEGATE;
            } else {
                if (!parse_parameters(p, rule))
                    return nullptr;
                p += std::strlen(p);
            }
            state = State::Complete;
        } else if (*p == '(') {
            if (state == State::Complete) {
                usrmsg("misplaced start-of-rule, at %s", quoted(p).text);
                return nullptr;
            }
            if (depth >= kMaxBracketDepth) {
                usrmsg("brackets nested too deeply (limit %d), at %s", kMaxBracketDepth,
                       quoted(p).text);
                return nullptr;
            }
            llist_elem *e = llist_insert_a(&rule->kids, rule->kids.tail, nullptr, sizeof(trule));
            if (!e) {
                usrmsg("OUT OF MEMORY");
                return nullptr;
            }
            char *close = matching_bracket(p);
            if (!close) {
                usrmsg("Unterminated bracket, at %s", quoted(p).text);
                return nullptr;
            }
            *close = '\0';
            if (!parse_rule(p + 1, kid_rule(e), state == State::Negated, depth + 1))
                return nullptr;
            p = close + 1;
            state = State::Complete;
        } else if (*p == '^') {
            if (state != State::ExpectRule) {
                usrmsg("misplaced Negation, at %s", quoted(p).text);
                return nullptr;
            }
            ++p;
            state = State::Negated;
        } else if (*p == '&' || *p == '|') {
            if (state != State::Complete) {
                usrmsg("misplaced Boolean, '%c', at %s", *p, quoted(p).text);
                return nullptr;
            }
            bool is_or = *p == '|';
            if (rule->kids.count < 2) {
                if (is_or)
                    rule->flags |= NIF_FLAG_OR;
            } else if (is_or != ((rule->flags & NIF_FLAG_OR) != 0)) {
                usrmsg("conflicting Boolean, '%c', at %s", *p, quoted(p).text);
                return nullptr;
            }
            ++p;
            state = State::ExpectRule;
        } else if (*p == '\0') {
            if (state != State::Complete) {
                usrmsg("rule terminated prematurely, at %s", quoted(p).text);
                return nullptr;
            }
            return p;
        } else {
            usrmsg("invalid operator, '%c', at %s", *p, quoted(p).text);
            return nullptr;
        }
    }
}

} // namespace zeriza
