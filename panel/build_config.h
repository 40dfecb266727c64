#pragma once
/* Settings fixed when the panel is built. A test build links its own
 * definitions, so the window code runs unchanged against local stand-ins. */

/* The update manifest's URL. */
const char *panel_update_url (void);
/* The os-release files to read, in order, NULL-terminated. */
const char *const *panel_os_release_files (void);
/* The application id. */
const char *panel_application_id (void);
/* The kernel's mount table, read to tell whether the mount is live. */
const char *panel_mountinfo_path (void);
