#pragma once
/* What the panel can see of the mount itself, without asking the service:
 * whether the mount point is live in the kernel's mount table, and whether a
 * share's folder is one the service can use. GLib only. */

#include <glib.h>

/* Whether mount_point is, in mountinfo (the text of /proc/self/mountinfo), a
 * mount of type fstype. The last entry for a mount point is the one in effect:
 * a later mount covers an earlier one. */
gboolean mountinfo_has_mount (const char *mountinfo, const char *mount_point, const char *fstype);

/* Whether the service mounts at mount_root: the table at mountinfo_path lists
 * it, under its own spelling or the spelling with links resolved, as the
 * kernel records it. */
gboolean panel_mount_is_live (const char *mountinfo_path, const char *mount_root);

enum ShareFolder
{
  SHARE_FOLDER_OK,
  SHARE_FOLDER_MISSING,
  SHARE_FOLDER_NOT_FOLDER,
  SHARE_FOLDER_LINK,
};

/* The service shares a real folder only: not a file, and not a symbolic link
 * (it would be followed somewhere the user did not choose). */
ShareFolder share_folder_check (const char *path);
