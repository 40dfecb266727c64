#pragma once
/* Reading the update manifest without a JSON parser, and comparing
 * dot-separated versions. GLib only, so it is tested without a display. */

#include <glib.h>

/* The panel's own version, the one the service also reports: PANEL_VERSION,
 * defined by the build from the project version. */

/* The string value of the first "key" in text, or NULL when there is none or
 * the value is not a string. Escapes are not interpreted. */
char *json_string_value (const char *text, const char *key);

/* <0, 0 or >0 as a is older than, equal to or newer than b. Missing components
 * count as 0, so "2026.10.28.0" equals "2026.10.28". */
int version_compare (const char *a, const char *b);
