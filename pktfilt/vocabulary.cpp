// Keyword alphabets, the keyword word tree and token rendering.
//
// The alphabets, the tree handle and the token text buffer are process-wide
// and rebuilt by every compilation, which is why compiling is for one thread
// at a time.
#include "pktfilt/vocabulary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "zeriza_host.h"

namespace zeriza {
namespace {

constexpr int kAlphabetLen = 38; // A-Z, 0-9, '.', ':'

char fkalph[kAlphabetLen + 1];
char fkalph_nocase[kAlphabetLen + 26 + 1];
wtree *fktoks = nullptr;
char toktxt_buf[21];
// Membership in fkalph_nocase by character code, so that finding a word's
// end costs one lookup a character.
bool in_keyword[256];

void fill_alphabets()
{
    int n = 0;
    for (char c = 'A'; c <= 'Z'; ++c)
        fkalph[n++] = c;
    for (char c = '0'; c <= '9'; ++c)
        fkalph[n++] = c;
    fkalph[n++] = '.';
    fkalph[n++] = ':';
    fkalph[n] = '\0';
    // The case-blind set is the alphabet followed by its 26 letters lowered.
    std::snprintf(fkalph_nocase, sizeof fkalph_nocase, "%s%.26s", fkalph, fkalph);
    str2lcs(fkalph_nocase + kAlphabetLen);
    std::fill(std::begin(in_keyword), std::end(in_keyword), false);
    for (const char *c = fkalph_nocase; *c; ++c)
        in_keyword[static_cast<unsigned char>(*c)] = true;
}

} // namespace

int build_keywords()
{
    fill_alphabets();
    fktoks = wtree_create(fkalph, kAlphabetLen, 1);
    if (!fktoks)
        return -1;
    for (size_t i = 0; i < fktokmap.size(); ++i) {
        std::string_view word = fktokmap[i];
        if (wtree_add_word(fktoks, word.data(), static_cast<int>(word.size()),
                           static_cast<int>(i + 1)) < 0) {
            destroy_keywords();
            return -1;
        }
    }
    return 0;
}

void destroy_keywords()
{
    wtree_destroy(fktoks);
    fktoks = nullptr;
}

int keyword_span(const char *text)
{
    int n = 0;
    while (in_keyword[static_cast<unsigned char>(text[n])])
        ++n;
    return n;
}

int32_t keyword_token(const char *text, int n)
{
    return n > 0 ? wtree_find_word(fktoks, text, n) : TOK_NONE;
}

const char *tok2txt(int32_t tok)
{
    if (tok >= 1 && tok <= kNumKeywords)
        return fktokmap[static_cast<size_t>(tok - 1)].data();
    std::snprintf(toktxt_buf, sizeof toktxt_buf, "<%d>", static_cast<int>(tok));
    return toktxt_buf;
}

} // namespace zeriza
