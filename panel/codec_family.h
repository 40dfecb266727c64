#pragma once
/* What the codec hint needs to know without a display: the value of one token
 * of the service's status line, and the FFmpeg install command for the
 * distribution an os-release file names. GLib only. */

#include <glib.h>

/* The value of the first space-separated "key=value" token, or NULL. */
char *status_value (const char *text, const char *key);

/* The command that installs FFmpeg on the distribution described by the
 * content of an os-release file, or NULL for an unknown family. */
const char *install_command_for_os_release (const char *content);
