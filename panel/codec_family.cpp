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

/* The list value of a token: NULL when absent, empty for "none". */
static char **
status_list (const char *text, const char *key)
{
  g_autofree char *value = status_value (text, key);
  if (value == NULL)
    return NULL;
  if (g_str_equal (value, "none") || value[0] == '\0')
    return g_new0 (char *, 1);
  return g_strsplit (value, ",", -1);
}

char **
codec_hint_subjects (const char *status, const char *scan, gboolean *in_shares)
{
  *in_shares = FALSE;
  g_autofree char *decoder = status_value (status, "decoder");
  if (decoder == NULL)
    return NULL;

  g_auto (GStrv) undecodable = status_list (scan, "undecodable");
  g_auto (GStrv) present = status_list (scan, "present");
  if (undecodable != NULL && present != NULL)
    {
      g_autoptr (GStrvBuilder) named = g_strv_builder_new ();
      guint count = 0;
      for (guint i = 0; present[i] != NULL; i++)
        if (g_strv_contains (undecodable, present[i]))
          {
            g_strv_builder_add (named, present[i]);
            count++;
          }
      if (count > 0)
        {
          *in_shares = TRUE;
          return g_strv_builder_end (named);
        }
    }
  if (!g_str_equal (decoder, "none"))
    return NULL;
  char **aac = g_new0 (char *, 2);
  aac[0] = g_strdup ("aac");
  return aac;
}

struct CodecTitle
{
  const char *token;
  const char *title;
};

static const CodecTitle codec_titles[] = {
  { "aac", "AAC" },   { "eac3", "E-AC-3" }, { "ac3", "AC-3" },      { "opus", "Opus" },
  { "flac", "FLAC" }, { "alac", "ALAC" },   { "vorbis", "Vorbis" }, { "mp3", "MP3" },
};

static const char *
codec_title (const char *token)
{
  for (const CodecTitle &codec : codec_titles)
    if (g_str_equal (codec.token, token))
      return codec.title;
  return token;
}

/* "A", "A or B", "A, B or C" with the last word given. */
static char *
codec_titles_joined (const char *const *codecs, const char *last_word)
{
  GString *text = g_string_new (NULL);
  guint n = g_strv_length (const_cast<char **> (codecs));
  for (guint i = 0; i < n; i++)
    {
      if (i > 0)
        g_string_append (text, i + 1 == n ? last_word : ", ");
      g_string_append (text, codec_title (codecs[i]));
    }
  return g_string_free (text, FALSE);
}

void
codec_hint_texts (const char *const *codecs, gboolean library_bound, gboolean in_shares,
                  const char *command, char **title, char **subtitle)
{
  g_autofree char *any = codec_titles_joined (codecs, " or ");
  g_autofree char *all = codec_titles_joined (codecs, " and ");
  gboolean several = g_strv_length (const_cast<char **> (codecs)) > 1;
  const char *where = in_shares ? " in your shares" : "";
  const char *decoders = several ? "these decoders" : "this decoder";

  *title = g_strdup_printf ("No %s decoder on this system", any);
  g_autofree char *ffmpeg
      = library_bound ? g_strdup_printf ("FFmpeg with %s", decoders) : g_strdup ("FFmpeg");
  if (command != NULL)
    *subtitle
        = g_strdup_printf ("%s audio%s stays silent until %s is installed. Run in a terminal, "
                           "then restart the service:\n<tt>%s</tt>",
                           all, where, ffmpeg, command);
  else
    *subtitle = g_strdup_printf (
        "Install FFmpeg (libavcodec)%s%s from your distribution, then restart "
        "the service; %s audio%s stays silent until then.",
        library_bound ? " with " : "", library_bound ? decoders : "", all, where);
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
