// File names taken from messages, made safe to create in the output
// directory. A sender chooses these names, so they are hostile input: no
// name may reach outside the directory or replace a file already there.
#ifndef MIMESPLIT_SAFE_NAME_H
#define MIMESPLIT_SAFE_NAME_H

#include <climits>
#include <cstddef>

namespace mimesplit {

constexpr std::size_t kNameMax = NAME_MAX;  // bytes in one path component

// Why a part's own name was not used as it came; a set of these bits.
enum NameChange : unsigned {
  kDirectoryPart = 1,  // "/" or "\" in it: only what follows the last one is kept
  kControlBytes = 2,   // NUL (from %00), other control bytes and DEL became "_"
  kNothingLeft = 4,    // empty or only dots ("." and ".." name directories)
  kTooLong = 8,        // cut to kNameMax bytes, keeping the extension
  kTaken = 16,         // a file, directory or symlink of that name exists
};

// Writes a safe form of name[0, length) (which may hold NULs) to out, which
// has room for kNameMax + 1 bytes. Returns the NameChange bits; out is empty
// when nothing usable is left.
unsigned safe_name(const char *name, std::size_t length, char (&out)[kNameMax + 1]);

// Creates `name` in the directory `dir_fd` for writing, never following a
// symlink and never opening an existing file. When the name is taken, tries
// "stem-2.ext", "stem-3.ext", ... and rewrites `name`; sets kTaken in
// *changes then. Returns the descriptor, or -1 with errno set.
int create_new_file(int dir_fd, char (&name)[kNameMax + 1], unsigned *changes);

// Writes the words for the bits set in `changes` ("directory part, too
// long") to out.
void describe_changes(unsigned changes, char *out, std::size_t size);

}  // namespace mimesplit

#endif
