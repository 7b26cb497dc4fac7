// Shared folders have owners. In a folder that is sticky and writable by all (as /tmp), the
// kernel refuses to follow another user's link or open another user's pipe (protected_symlinks,
// protected_fifos), and only an entry's owner may replace it. pictor resolves links and
// replaces files itself, so it applies the same rules itself: an entry there counts as the
// user's only when it belongs to the user or to the folder's owner.
#ifndef PICTOR_RUNTIME_SHARED_FOLDERS_H
#define PICTOR_RUNTIME_SHARED_FOLDERS_H

#include <string>
#include <sys/types.h>

// Why an entry was refused, for the caller's message.
extern const char ANOTHER_USERS_LINK[];
extern const char ANOTHER_USERS_PIPE[];
extern const char ANOTHER_USERS_ENTRY[];

// Whether the kernel would let this process follow a link, or open a pipe, that owner owns at
// path.
bool shared_folder_allows(const std::string &path, uid_t owner);

// Whether what owner owns at path may be replaced: root may, others as above.
bool may_replace(const std::string &path, uid_t owner);

// The folder of a path ("." for a bare name), and its last part.
std::string directory_of(const std::string &path);
std::string base_of(const std::string &path);

#endif
