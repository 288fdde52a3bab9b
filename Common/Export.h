#pragma once

// Symbol visibility of the common library. Everything is hidden unless marked.
#define HALVORA_COMMON_API __attribute__((visibility("default")))
