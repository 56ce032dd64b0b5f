#pragma once

// Marks what the shared library exports; it is built with hidden visibility, so everything else
// stays inside.
#define TAVI_API __attribute__((visibility("default")))
