#include "shares_file.h"

#include <errno.h>
#include <string.h>

Share *
share_new (gboolean enabled, const char *name, const char *path)
{
  Share *share = g_new0 (Share, 1);

  share->enabled = enabled;
  share->name = g_strdup (name);
  share->path = g_strdup (path);
  return share;
}

void
share_free (gpointer data)
{
  auto *share = static_cast<Share *> (data);

  if (share == NULL)
    return;
  g_free (share->name);
  g_free (share->path);
  g_free (share);
}

static Share *
parse_line (const char *line)
{
  g_autofree char *stripped = g_strstrip (g_strdup (line));

  if (stripped[0] == '\0' || stripped[0] == '#')
    return NULL;

  g_auto (GStrv) fields = g_strsplit (line, "\t", -1);
  if (g_strv_length (fields) != 3)
    return NULL;

  const char *flag = g_strstrip (fields[0]);
  gboolean enabled = g_str_equal (flag, "1") || g_str_equal (flag, "true");
  return share_new (enabled, g_strstrip (fields[1]), g_strstrip (fields[2]));
}

GList *
shares_file_parse (const char *content)
{
  GList *shares = NULL;

  if (content == NULL)
    return NULL;

  g_auto (GStrv) lines = g_strsplit (content, "\n", -1);
  for (guint i = 0; lines[i] != NULL; i++)
    {
      Share *share = parse_line (lines[i]);
      if (share != NULL)
        shares = g_list_prepend (shares, share);
    }
  return g_list_reverse (shares);
}

GList *
shares_file_read (const char *path)
{
  g_autofree char *content = NULL;

  if (!g_file_get_contents (path, &content, NULL, NULL))
    return NULL;
  return shares_file_parse (content);
}

char *
shares_file_format (GList *shares)
{
  GString *text
      = g_string_new ("# kov-orvane shares\n"
                      "# one share per line, tab-separated: <enabled 0|1>\\t<name>\\t<path>\n");

  for (GList *l = shares; l != NULL; l = l->next)
    {
      auto *share = static_cast<Share *> (l->data);
      g_string_append_printf (text, "%d\t%s\t%s\n", share->enabled ? 1 : 0, share->name,
                              share->path);
    }
  return g_string_free (text, FALSE);
}

gboolean
shares_file_write (const char *path, GList *shares, GError **error)
{
  g_autofree char *folder = g_path_get_dirname (path);
  g_autofree char *content = shares_file_format (shares);

  if (g_mkdir_with_parents (folder, 0755) != 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Cannot create %s: %s",
                   folder, g_strerror (saved));
      return FALSE;
    }
  return g_file_set_contents (path, content, -1, error);
}

static gboolean
name_taken (GList *shares, const char *name)
{
  for (GList *l = shares; l != NULL; l = l->next)
    if (g_str_equal (static_cast<Share *> (l->data)->name, name))
      return TRUE;
  return FALSE;
}

char *
make_share_name (GList *shares, const char *proposed)
{
  if (proposed == NULL || proposed[0] == '\0')
    proposed = "share";

  g_autofree char *base = g_strstrip (g_strdup (proposed));
  for (char *p = base; *p != '\0'; p++)
    if (*p == '\t' || *p == '\n' || *p == '\r' || *p == '/')
      *p = '-';
  if (base[0] == '\0' || g_str_equal (base, ".") || g_str_equal (base, ".."))
    {
      g_free (base);
      base = g_strdup ("share");
    }

  if (!name_taken (shares, base))
    return g_steal_pointer (&base);
  for (int n = 2;; n++)
    {
      g_autofree char *candidate = g_strdup_printf ("%s-%d", base, n);
      if (!name_taken (shares, candidate))
        return g_steal_pointer (&candidate);
    }
}

gboolean
shares_file_can_store_path (const char *path)
{
  size_t len = path != NULL ? strlen (path) : 0;

  if (len == 0 || strpbrk (path, "\t\n\r") != NULL)
    return FALSE;
  return !g_ascii_isspace (path[0]) && !g_ascii_isspace (path[len - 1]);
}
