#pragma once
/* What the codec hint needs to know without a display: the value of one token
 * of the service's status line, which codecs the hint names and its texts,
 * and the FFmpeg install command for the distribution an os-release file
 * names. GLib only. */

#include <glib.h>

/* The value of the first space-separated "key=value" token, or NULL. */
char *status_value (const char *text, const char *key);

/* The command that installs FFmpeg on the distribution described by the
 * content of an os-release file, or NULL for an unknown family. */
const char *install_command_for_os_release (const char *content);

/* The codec names the hint speaks of, from the status line and the answer of
 * the share scan (NULL until it answers): the codecs the library cannot decode
 * that the shares hold, and then *in_shares is TRUE; failing that, "aac" when
 * no library is bound at all; NULL when there is nothing to say. */
char **codec_hint_subjects (const char *status, const char *scan, gboolean *in_shares);

/* The row's title and its subtitle (Pango markup) for those codecs. Without a
 * library the texts say FFmpeg is missing, with one that it lacks these
 * decoders; command is the install command or NULL. */
void codec_hint_texts (const char *const *codecs, gboolean library_bound, gboolean in_shares,
                       const char *command, char **title, char **subtitle);
