// What keeps the tool's work files its own: new files and folders readable
// by the user only, and the running programs told apart from dead ones, so
// that the folders a killed program left can go. Not part of the shared
// library.
#pragma once

namespace veltra::sys {

// Files and folders made from now on by this process (and the processes it
// starts) are the user's alone. Nothing to do on Windows, where the
// temporary folder is the user's own.
void make_new_files_private();

long current_process_id();

// False when no process of that id runs (any more).
bool process_running(long id);

}  // namespace veltra::sys
