#include "resolve_answer.h"

#include <string.h>

ResolveRegistration
resolve_registration_from_status (const char *output, const char *path)
{
  if (output == NULL)
    return RESOLVE_UNKNOWN;
  /* Each file: its name and a colon, then one indented line per listed
   * folder, or "  (missing)". */
  guint files = 0, listing = 0;
  gboolean missing = FALSE, listed_here = FALSE;
  g_auto (GStrv) lines = g_strsplit (output, "\n", -1);
  for (char **line = lines; *line != NULL; line++)
    {
      if (g_str_has_prefix (*line, "  "))
        {
          const char *value = *line + 2;
          if (g_str_equal (value, "(missing)"))
            missing = TRUE;
          else if (g_str_equal (value, path))
            listed_here = TRUE;
        }
      else if (g_str_has_suffix (*line, ":"))
        {
          listing += listed_here ? 1 : 0;
          listed_here = FALSE;
          files++;
        }
    }
  listing += listed_here ? 1 : 0;
  if (missing)
    return RESOLVE_CONFIG_MISSING;
  if (files != 2)
    return RESOLVE_UNKNOWN;
  return listing == 2 ? RESOLVE_REGISTERED : RESOLVE_NOT_REGISTERED;
}

/* The last line of standard error that says something, without the "error: "
 * every message of the command starts with. */
static char *
last_error_line (const char *err)
{
  if (err == NULL)
    return NULL;
  g_auto (GStrv) lines = g_strsplit (err, "\n", -1);
  for (guint i = g_strv_length (lines); i-- > 0;)
    {
      const char *line = g_strstrip (lines[i]);
      if (line[0] == '\0')
        continue;
      if (g_str_has_prefix (line, "error: "))
        line += strlen ("error: ");
      return g_strdup (line);
    }
  return NULL;
}

ResolveChange
resolve_change_result (int exit_status, const char *out, const char *err, char **message)
{
  if (exit_status == 0)
    {
      g_autofree char *text = g_strstrip (g_strdup (out != NULL ? out : ""));
      return g_str_has_suffix (text, "; no change.") ? RESOLVE_NO_CHANGE : RESOLVE_CHANGED;
    }
  if (err != NULL && strstr (err, "DaVinci Resolve is running") != NULL)
    return RESOLVE_REFUSED_RUNNING;
  if (err != NULL && strstr (err, "Resolve config not found") != NULL)
    return RESOLVE_CHANGE_CONFIG_MISSING;
  if (message != NULL)
    {
      *message = last_error_line (err);
      if (*message == NULL)
        *message = exit_status > 0 ? g_strdup_printf ("kov-orvane ended with status %d", exit_status)
                                   : g_strdup ("kov-orvane could not be run");
    }
  return RESOLVE_CHANGE_FAILED;
}
