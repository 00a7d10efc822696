// The Content-Type guessed from a key's suffix for an upload that names none.
#pragma once

// The type for the suffix after the key's last "."; "binary/octet-stream" when none is known.
const char *guess_content_type(const char *name);
