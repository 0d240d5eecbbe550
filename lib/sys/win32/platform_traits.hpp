// Facts of the Windows platform that portable code takes as constants.
#pragma once

namespace veltra::sys {

// Only the backslash separates directories; a slash is part of a name.
inline constexpr char kPathSep = '\\';

// MAX_PATH: the longest path the ANSI file functions take, terminator included.
inline constexpr unsigned kPathMax = 260;

// Environment variables naming the temporary directory, in order of precedence.
inline constexpr const char* kTempDirVariables[] = {"TEMP", "TMP"};

// The name service's error for a failure beyond recovery (WSANO_RECOVERY).
inline constexpr int kNameErrorNoRecovery = 11003;

// Whether file names differ by letter case alone.
inline constexpr bool kNamesFoldCase = true;

// How a line written "as text" ends in the file.
inline constexpr const char* kTextLineEnd = "\r\n";

}  // namespace veltra::sys
