#pragma once

// Every line ends with a line end; callers print one more after it.
extern const char* const kHelpText;
