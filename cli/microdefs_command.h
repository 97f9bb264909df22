// The microdefs command (-m/--mdefs): one run of the update client for delta
// packages, bracketed by the store manager's microdefs pre- and post-update
// steps. The helpers are exposed for tests.
#pragma once

#include <cstddef>

// Source 0: the binary hub's set; source 1: the newest set.
constexpr int SEQUENCE_SOURCE_HUB = 0;
constexpr int SEQUENCE_SOURCE_NEWEST = 1;

// A set's date as one number: (year - 2000) * 10,000,000 + month * 100,000 +
// day * 1,000 + revision; 0 for dates outside 2000-2100 / 1-12 / 1-31 /
// 0-999. False (and 0) when the date cannot be read; false with *pnSequence
// untouched for an unknown source.
bool GetDefsSequenceNumber(long* pnSequence, int nSource, const char* pszContentType);

// One bracketed argument group for the update client, cut to nSize - 1.
void BuildMicroDefArguments(const char* pszProduct, const char* pszChannel, const char* pszContent,
                            const char* pszSequence, char* pszBuffer, size_t nSize);

// The three groups the client receives, run together and cut at 8189
// characters: (channel, "HubDefs", hub sequence), (channel, "CurDefs",
// newest sequence), ("MicroDefsB.CurDefs", "CurDefs", newest sequence).
constexpr size_t MICRODEF_ARGUMENT_TEXT_SIZE = 8190;
void BuildMicroDefArgumentText(const char* pszProduct, const char* pszChannel,
                               const char* pszHubSequence, const char* pszNewestSequence,
                               char* pszText, size_t nSize);
