// Case-insensitive multi-keyword counting in one pass (Aho-Corasick).
//
// A KeywordMatcher is built once from a keyword table and then only read:
// any number of threads may count with the same matcher at the same time.
// Matching is byte-wise over the whole data, NUL bytes included, with the C
// locale's case folding (A-Z only); the data is never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The suspicious API names looked for in executables, in report order;
// null-terminated.
extern const char* const api_keywords[21];
// The suspicious script words looked for in script files; null-terminated.
// "-enc " keeps its trailing blank.
extern const char* const script_keywords[19];

// The automaton of one keyword table. Owned by whoever built it; fields are
// private to keywords.cpp.
struct KeywordMatcher {
    int entries = 0;             // non-null entries in the table
    int empty_entries = 0;       // empty keywords: present in any data
    uint32_t classes = 1;        // byte classes (0 = byte in no keyword)
    uint32_t first_output = 0;   // premultiplied number of the first state with matches
    size_t longest = 0;          // longest keyword after the cut
    bool printable_only = false; // every keyword byte is in 0x20..0x7e
    unsigned char byte_class[256] = {};
    std::vector<uint32_t> next;        // [state * classes + class] -> premultiplied state
    std::vector<uint32_t> out_begin;   // per state number: first index into out_entries
    std::vector<uint32_t> out_entries; // keyword indices that end in each state
};

// Builds the matcher of a null-terminated table (a null table is empty).
// Keywords are lower-cased and cut to TG_KEYWORD_MAX_CHARS characters; equal
// entries each count on their own.
void keyword_matcher_build(KeywordMatcher* m, const char* const* table);

// How many entries of the matcher's table occur in data[0, length); each
// entry counts at most once however often it occurs. An empty keyword
// occurs in any data. data may be null when length is 0.
int keyword_matcher_count(const KeywordMatcher* m, const unsigned char* data, size_t length);

// The same count over the data outside [skip_begin, skip_end), whose bytes
// are not read: as if they were in no keyword, so a keyword that overlaps
// the range, or that only the bytes on both sides of it would spell, does not
// count. skip_end is cut at length; an empty range counts the whole data.
int keyword_matcher_count_outside(const KeywordMatcher* m, const unsigned char* data, size_t length,
                                  size_t skip_begin, size_t skip_end);

// The same count for a table given by its pointer. api_keywords and
// script_keywords use matchers built once on first use (safe when first used
// from several threads at once); any other table is built for this call.
int count_keywords(const unsigned char* data, size_t length, const char* const* table);

// count_keywords over the data outside [skip_begin, skip_end), by the rule
// of keyword_matcher_count_outside.
int count_keywords_outside(const unsigned char* data, size_t length, const char* const* table,
                           size_t skip_begin, size_t skip_end);
