#include "panel_paths.h"

#include <string.h>

char *
panel_list_path (void)
{
  return g_build_filename (g_get_user_config_dir (), "kov-orvane", "shares.conf", NULL);
}

char *
panel_mount_root (void)
{
  return g_build_filename (g_get_home_dir (), "Orvane", NULL);
}

char *
panel_service_program (void)
{
  const char *appdir = g_getenv ("APPDIR");

  if (appdir != NULL && appdir[0] != '\0')
    return g_build_filename (appdir, "usr", "bin", "kov-orvane", NULL);
  char *found = g_find_program_in_path ("kov-orvane");
  if (found != NULL)
    return found;
  return g_build_filename (g_get_home_dir (), ".local", "bin", "kov-orvane", NULL);
}

char *
panel_updater (void)
{
  const char *appimage = g_getenv ("APPIMAGE");

  if (appimage == NULL || appimage[0] == '\0')
    return NULL;
  if (!g_file_test (appimage, G_FILE_TEST_IS_EXECUTABLE))
    return NULL;
  return g_strdup (appimage);
}

char *
panel_display_path (const char *path)
{
  g_autofree char *home = g_strdup (g_get_home_dir ());
  gsize len = strlen (home);

  while (len > 1 && home[len - 1] == '/')
    home[--len] = '\0';
  /* A home of "/" would turn every path into "~…": nothing gained. */
  if (len <= 1 || !g_str_has_prefix (path, home))
    return g_strdup (path);
  if (path[len] == '\0')
    return g_strdup ("~");
  if (path[len] != '/')
    return g_strdup (path);
  return g_strconcat ("~", path + len, NULL);
}
