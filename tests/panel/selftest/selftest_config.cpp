// Settings of the self-test build of the panel: the tests name a local
// manifest URL, an os-release file and a mount table through the environment.
#include "build_config.h"

#include <stdlib.h>

const char *
panel_update_url (void)
{
  const char *url = getenv ("KOV_SELFTEST_UPDATE_URL");
  return url != nullptr ? url : "http://127.0.0.1:9/orvane/latest.json";
}

const char *const *
panel_os_release_files (void)
{
  static const char *files[] = { nullptr, nullptr };
  files[0] = getenv ("KOV_SELFTEST_OS_RELEASE");
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
  const char *path = getenv ("KOV_SELFTEST_MOUNTINFO");
  return path != nullptr ? path : "/proc/self/mountinfo";
}
