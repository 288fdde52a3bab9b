#pragma once

// Symbol visibility of libRuvarEduzid. Everything is hidden unless marked.
#define RUVAREDUZID_API __attribute__((visibility("default")))
// Exported plain functions: unmangled C names.
#define RUVAREDUZID_C_API extern "C" __attribute__((visibility("default")))
