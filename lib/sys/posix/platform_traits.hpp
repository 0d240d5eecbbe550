// Facts of the POSIX platform that portable code takes as constants.
#pragma once

namespace veltra::sys {

// The one character that separates directories in a path.
inline constexpr char kPathSep = '/';

// Longest path the platform handles, terminator included.
inline constexpr unsigned kPathMax = 4096;

// Environment variables naming the temporary directory, in order of precedence.
inline constexpr const char* kTempDirVariables[] = {"TEMP", "TMP", "TMPDIR"};

// The name service's error for a failure beyond recovery (EAI_FAIL).
inline constexpr int kNameErrorNoRecovery = -4;

// Whether file names differ by letter case alone.
inline constexpr bool kNamesFoldCase = false;

// How a line written "as text" ends in the file.
inline constexpr const char* kTextLineEnd = "\n";

}  // namespace veltra::sys
