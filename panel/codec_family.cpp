#include "codec_family.h"

#include <string.h>

char *
status_value (const char *text, const char *key)
{
  if (text == NULL)
    return NULL;

  g_autofree char *prefix = g_strdup_printf ("%s=", key);
  g_auto (GStrv) tokens = g_strsplit (text, " ", -1);
  for (guint i = 0; tokens[i] != NULL; i++)
    if (g_str_has_prefix (tokens[i], prefix))
      return g_strdup (tokens[i] + strlen (prefix));
  return NULL;
}

static char *
os_release_value (const char *rest)
{
  char *value = g_strdelimit (g_strdup (rest), "\"", ' ');
  return g_strstrip (value);
}

struct InstallRule
{
  const char *words; /* space-separated whole words, any of which matches */
  const char *command;
};

/* The first matching row wins. */
static const InstallRule install_rules[] = {
  { "fedora rhel centos", "sudo dnf install ffmpeg-free-libs" },
  { "debian ubuntu", "sudo apt install ffmpeg" },
  { "arch", "sudo pacman -S ffmpeg" },
  { "suse opensuse", "sudo zypper install ffmpeg" },
  { "alpine", "sudo apk add ffmpeg-libavcodec" },
};

const char *
install_command_for_os_release (const char *content)
{
  g_autofree char *id = NULL;
  g_autofree char *id_like = NULL;

  if (content == NULL)
    return NULL;

  g_auto (GStrv) lines = g_strsplit (content, "\n", -1);
  for (guint i = 0; lines[i] != NULL; i++)
    {
      if (g_str_has_prefix (lines[i], "ID="))
        {
          g_free (id);
          id = os_release_value (lines[i] + 3);
        }
      else if (g_str_has_prefix (lines[i], "ID_LIKE="))
        {
          g_free (id_like);
          id_like = os_release_value (lines[i] + 8);
        }
    }

  /* Spaces around and between the words make every test a whole-word match. */
  g_autofree char *identity = g_strdup_printf (" %s %s ", id ? id : "", id_like ? id_like : "");
  for (const InstallRule &rule : install_rules)
    {
      g_auto (GStrv) words = g_strsplit (rule.words, " ", -1);
      for (guint i = 0; words[i] != NULL; i++)
        {
          g_autofree char *padded = g_strdup_printf (" %s ", words[i]);
          if (strstr (identity, padded) != NULL)
            return rule.command;
        }
    }
  return NULL;
}
