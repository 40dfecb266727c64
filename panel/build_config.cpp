#include "build_config.h"

const char *
panel_update_url (void)
{
  return KOV_UPDATE_URL;
}

const char *const *
panel_os_release_files (void)
{
  static const char *const files[] = { "/etc/os-release", "/usr/lib/os-release", nullptr };
  return files;
}

const char *
panel_application_id (void)
{
  return KOV_PANEL_APP_ID;
}

const char *
panel_mountinfo_path (void)
{
  return "/proc/self/mountinfo";
}
