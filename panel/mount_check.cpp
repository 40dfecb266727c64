#include "mount_check.h"

#include <sys/stat.h>

/* mountinfo writes space, tab, line feed and backslash as three octal digits. */
static char *
mountinfo_unescape (const char *field)
{
  GString *out = g_string_new (NULL);

  for (const char *p = field; *p != '\0'; p++)
    {
      if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0'
          && p[3] <= '7')
        {
          g_string_append_c (out, char (((p[1] - '0') << 6) | ((p[2] - '0') << 3) | (p[3] - '0')));
          p += 3;
        }
      else
        g_string_append_c (out, *p);
    }
  return g_string_free (out, FALSE);
}

gboolean
mountinfo_has_mount (const char *mountinfo, const char *mount_point, const char *fstype)
{
  gboolean live = FALSE;

  if (mountinfo == NULL)
    return FALSE;
  g_auto (GStrv) lines = g_strsplit (mountinfo, "\n", -1);
  for (char **line = lines; *line != NULL; line++)
    {
      /* id parent major:minor root mount-point options [optional…] - type source super */
      g_auto (GStrv) fields = g_strsplit (*line, " ", -1);
      guint n = g_strv_length (fields);
      if (n < 5)
        continue;
      g_autofree char *point = mountinfo_unescape (fields[4]);
      if (!g_str_equal (point, mount_point))
        continue;
      const char *type = NULL;
      for (guint i = 5; i + 1 < n; i++)
        if (g_str_equal (fields[i], "-"))
          {
            type = fields[i + 1];
            break;
          }
      live = type != NULL && g_str_equal (type, fstype);
    }
  return live;
}

gboolean
panel_mount_is_live (const char *mountinfo_path, const char *mount_root)
{
  g_autofree char *table = NULL;

  if (!g_file_get_contents (mountinfo_path, &table, NULL, NULL))
    return FALSE;
  /* Resolve the parent only: a dead mount at the point itself cannot be
   * resolved, and the kernel records the point with its parent's links
   * resolved (a home folder reached through a link, for one). */
  g_autofree char *parent = g_path_get_dirname (mount_root);
  g_autofree char *base = g_path_get_basename (mount_root);
  g_autofree char *real_parent = realpath (parent, NULL);
  g_autofree char *resolved
      = real_parent != NULL ? g_build_filename (real_parent, base, NULL) : g_strdup (mount_root);
  const char *fstype = "fuse.kov-orvane";
  return mountinfo_has_mount (table, mount_root, fstype)
         || mountinfo_has_mount (table, resolved, fstype);
}

ShareFolder
share_folder_check (const char *path)
{
  struct stat st;

  if (lstat (path, &st) != 0)
    return SHARE_FOLDER_MISSING;
  if (S_ISLNK (st.st_mode))
    return SHARE_FOLDER_LINK;
  return S_ISDIR (st.st_mode) ? SHARE_FOLDER_OK : SHARE_FOLDER_NOT_FOLDER;
}
