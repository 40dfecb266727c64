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
  GtkWidget *journal_button;          /* owned by the window; copies the journal command */
  gboolean service_running;           /* as systemd last said */
  guint mount_wait_source;            /* re-checks the mount after a start; 0 when none */
  guint mount_checks_left;
  AdwPreferencesGroup *resolve_group; /* owned by the window */
  AdwActionRow *resolve_row;          /* owned by the window */
  GtkButton *resolve_button;          /* owned by the window */
  int resolve_registration;           /* a ResolveRegistration, as last read */
  GList *shares;                      /* owned; of Share, each owning its strings */
  GList *share_rows;                  /* rows currently in shares_group */
  GList *decoder_rows;                /* rows currently in decoder_group */
  char *decoder_status;               /* owned; the service's status line, NULL without one */
  char *codec_scan_answer;            /* owned; the share scan's line, NULL until it answers */
  GSubprocess *codec_scan;            /* owned; the share scan in flight, NULL when none */
  GCancellable *codec_scan_cancel;    /* owned; cancels the scan in flight */
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
/* Runs argv to completion and returns its exit status (-1 when it could not be
 * started or did not exit normally), with its standard output and error. */
int run_program (const char *const *argv, char **out, char **err);
void show_toast (PanelState *state, const char *text);
void copy_to_clipboard (PanelState *state, const char *text);

/* Built and refreshed by the pages. */
void shares_page_build (PanelState *state, AdwPreferencesPage *page);
void rebuild_share_rows (PanelState *state);
void reload_service_if_active (PanelState *state);

void service_page_build (PanelState *state, AdwPreferencesPage *page);
void refresh_service_status (PanelState *state);
/* The row again from the last known state, after the share list changed. */
void update_service_subtitle (PanelState *state);

void resolve_page_build (PanelState *state, AdwPreferencesPage *page);
void refresh_resolve_registration (PanelState *state);

void update_page_build (PanelState *state, AdwPreferencesPage *page);
void start_update_check (PanelState *state);

void codec_hint_build (PanelState *state, AdwPreferencesPage *page);
void rebuild_decoder_group (PanelState *state);
/* Asks the shares again which codecs they hold, when some cannot be decoded. */
void codec_hint_shares_changed (PanelState *state);
/* Stops a share scan in flight; its answer is dropped. */
void codec_hint_stop_scan (PanelState *state);
