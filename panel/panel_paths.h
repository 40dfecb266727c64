#pragma once
/* The paths the panel works with, worked out once at start from the
 * environment. GLib only, so the rules are tested without a display. */

#include <glib.h>

/* The share list file the service reads by default. */
char *panel_list_path (void);
/* Where the service mounts its shares, as shown to the user. */
char *panel_mount_root (void);
/* The kov-orvane program: under $APPDIR, else on PATH, else ~/.local/bin. */
char *panel_service_program (void);
/* The package file to run as updater ($APPIMAGE when executable), or NULL. */
char *panel_updater (void);

/* path as GNOME's own apps show it: "~/Videos" for a folder under home, "~"
 * for home itself, any other path unchanged. */
char *panel_display_path (const char *path);
