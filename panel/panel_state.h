#pragma once
/* The one state record of the panel, created in main and handed to every
 * signal handler, plus the helpers all pages share. Everything here runs on
 * the GTK main thread. */

#include <adwaita.h>
#include <libsoup/soup.h>

struct PanelState
{
  AdwApplication *application;        /* owned */
  AdwApplicationWindow *window;       /* owned by the application; NULL until activate */
  SoupSession *soup_session;          /* owned */
  AdwToastOverlay *toast_overlay;     /* owned by the window */
  AdwPreferencesGroup *shares_group;  /* owned by the window */
  AdwPreferencesGroup *decoder_group; /* owned by the window */
  AdwPreferencesGroup *update_group;  /* owned by the window */
  AdwActionRow *update_row;           /* owned by the window */
  GtkButton *update_button;           /* owned by the window */
  char *latest_version;               /* owned; last version read from the manifest */
  AdwActionRow *status_row;           /* owned by the window */
  GtkSwitch *service_switch;          /* owned by the window */
  GList *shares;                      /* owned; of Share, each owning its strings */
  GList *share_rows;                  /* rows currently in shares_group */
  GList *decoder_rows;                /* rows currently in decoder_group */
  gboolean switch_guard;              /* TRUE while the panel itself sets the switch */
  char *list_path;                    /* owned */
  char *mount_root;                   /* owned */
  char *service_program;              /* owned */
  char *updater;                      /* owned; NULL disables updates */
};

/* Creates the state with its paths worked out and its session made; the
 * application is created by the caller. */
PanelState *panel_state_new (void);
void panel_state_free (PanelState *state);

/* "activate" of the application: builds, fills and presents the window once. */
void on_application_activate (GApplication *application, gpointer user_data);

/* Runs argv to completion and returns its standard output without trailing
 * white space, or NULL when it could not be started. */
char *capture_output (const char *const *argv);
void show_toast (PanelState *state, const char *text);
void copy_to_clipboard (PanelState *state, const char *text);

/* Built and refreshed by the pages. */
void shares_page_build (PanelState *state, AdwPreferencesPage *page);
void rebuild_share_rows (PanelState *state);
void reload_service_if_active (PanelState *state);

void service_page_build (PanelState *state, AdwPreferencesPage *page);
void refresh_service_status (PanelState *state);

void update_page_build (PanelState *state, AdwPreferencesPage *page);
void start_update_check (PanelState *state);

void codec_hint_build (PanelState *state, AdwPreferencesPage *page);
void rebuild_decoder_group (PanelState *state);
