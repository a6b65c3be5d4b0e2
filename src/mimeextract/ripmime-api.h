#pragma once
// RIPMIME_: the engine's entry points. RIPMIME_decode unpacks one raw message file into a
// folder with the settings in force; RIPMIME_extract is the call of the attachment-saving
// route: fresh settings, unique names off, and the list of files written.

#include <string>
#include <vector>

struct RIPMIME_object {
    char mailpack[1024];
    char outputdir[1024];
};

// Clears the record; logger to standard output; MIME_init; unique names on, paranoid off,
// rename method 1, verbosity 0. Returns 0.
int RIPMIME_init_api(struct RIPMIME_object *api);
// Unpacks mailpack into outputdir (created with mode 0700 if needed; one trailing "/"
// ignored). Returns 0 when done whatever the unpack met, 1 when a path is missing, -1
// when the folder cannot be made.
int RIPMIME_decode(struct RIPMIME_object *api, const char *mailpack, const char *outputdir);

// Result of the last MIME_unpack run by RIPMIME_decode (which itself gives 0 whatever it was).
int RIPMIME_get_unpack_result();

// The extraction route of attachment saving: RIPMIME_init_api, unique names off (parts of
// equal names overwrite each other), RIPMIME_decode of the raw message file into folder.
// written receives the paths (folder + "/" + name) of the regular files this run created or
// rewrote in folder, sorted; the message file itself is left out when it lies in folder.
// Returns RIPMIME_decode's result.
int RIPMIME_extract(const char *mailpack, const char *folder, std::vector<std::string> &written);
