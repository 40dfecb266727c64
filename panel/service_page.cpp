#include "panel_state.h"

#include "build_config.h"
#include "mount_check.h"
#include "panel_paths.h"
#include "shares_file.h"
#include "update_manifest.h"

static const char *const unit_name = "kov-orvane.service";
static const char *const journal_command = "journalctl --user -u kov-orvane";

static void
systemctl (const char *verb)
{
  const char *argv[] = { "systemctl", "--user", verb, unit_name, NULL };
  g_autofree char *ignored = capture_output (argv);
}

/* Shares the service can show (enabled, with a real folder behind them), and
 * in *enabled how many it was asked to show. */
static guint
usable_share_count (PanelState *state, guint *enabled)
{
  guint n = 0;

  *enabled = 0;
  for (GList *l = state->shares; l != NULL; l = l->next)
    {
      auto *share = static_cast<Share *> (l->data);
      if (!share->enabled)
        continue;
      (*enabled)++;
      n += share_folder_check (share->path) == SHARE_FOLDER_OK ? 1 : 0;
    }
  return n;
}

void
update_service_subtitle (PanelState *state)
{
  g_autofree char *subtitle = NULL;
  g_autofree char *root = panel_display_path (state->mount_root);
  g_autofree char *root_escaped = g_markup_escape_text (root, -1);
  gboolean missing = FALSE;

  if (!state->service_running)
    subtitle = g_strdup_printf ("Stopped · version %s", PANEL_VERSION);
  else if (panel_mount_is_live (panel_mountinfo_path (), state->mount_root))
    {
      guint enabled = 0;
      guint n = usable_share_count (state, &enabled);
      if (enabled == 0)
        subtitle = g_strdup_printf ("Running · no shares at %s yet · version %s", root_escaped,
                                    PANEL_VERSION);
      else if (n == 0)
        subtitle = g_strdup_printf ("Running, but no share can be shown at %s", root_escaped);
      else
        subtitle = g_strdup_printf ("Running · %u %s at %s · version %s", n,
                                    n == 1 ? "share" : "shares", root_escaped, PANEL_VERSION);
    }
  else if (state->mount_checks_left > 0)
    subtitle = g_strdup_printf ("Running · mounting %s…", root_escaped);
  else
    {
      subtitle = g_strdup_printf ("Running, but %s is not mounted\nTo see why, run <tt>%s</tt>",
                                  root_escaped, journal_command);
      missing = TRUE;
    }
  adw_action_row_set_subtitle (state->status_row, subtitle);
  gtk_widget_set_visible (state->journal_button, missing);
}

static gboolean
on_mount_wait_tick (gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  if (state->mount_checks_left > 0)
    state->mount_checks_left--;
  if (panel_mount_is_live (panel_mountinfo_path (), state->mount_root))
    state->mount_checks_left = 0;
  update_service_subtitle (state);
  if (state->mount_checks_left > 0)
    return G_SOURCE_CONTINUE;
  state->mount_wait_source = 0;
  return G_SOURCE_REMOVE;
}

/* The unit counts as started as soon as the program runs; its mount follows a
 * moment later. Look again for a few seconds before calling it missing. */
static void
wait_for_mount (PanelState *state)
{
  if (state->mount_wait_source != 0)
    g_source_remove (state->mount_wait_source);
  state->mount_wait_source = 0;
  state->mount_checks_left = 0;
  if (!state->service_running || panel_mount_is_live (panel_mountinfo_path (), state->mount_root))
    return;
  state->mount_checks_left = 10;
  state->mount_wait_source = g_timeout_add (500, on_mount_wait_tick, state);
  update_service_subtitle (state);
}

void
refresh_service_status (PanelState *state)
{
  const char *argv[] = { "systemctl", "--user", "is-active", unit_name, NULL };
  g_autofree char *output = capture_output (argv);
  gboolean running = output != NULL && g_str_equal (output, "active");

  state->switch_guard = TRUE;
  gtk_switch_set_active (state->service_switch, running);
  gtk_switch_set_state (state->service_switch, running);
  state->switch_guard = FALSE;

  state->service_running = running;
  update_service_subtitle (state);
}

static void
on_copy_journal_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  copy_to_clipboard (state, journal_command);
  show_toast (state, "Command copied — paste it into a terminal");
}

static gboolean
on_service_switch_state_set (GtkSwitch *service_switch, gboolean requested, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  if (state->switch_guard)
    return FALSE;
  systemctl (requested ? "enable" : "disable");
  systemctl (requested ? "start" : "stop");
  refresh_service_status (state);
  if (requested)
    wait_for_mount (state);
  /* The refresh has set the switch to what systemd reports. Letting GTK's
   * default handler run would force the requested state back on, which
   * re-emits this signal: a failed start would then loop for ever. */
  return TRUE;
}

void
service_page_build (PanelState *state, AdwPreferencesPage *page)
{
  GtkWidget *group = adw_preferences_group_new ();
  adw_preferences_group_set_title (ADW_PREFERENCES_GROUP (group), "Service");
  adw_preferences_group_set_description (ADW_PREFERENCES_GROUP (group),
                                         "Don’t toggle while DaVinci Resolve is running.");

  state->status_row = ADW_ACTION_ROW (adw_action_row_new ());
  adw_preferences_row_set_title (ADW_PREFERENCES_ROW (state->status_row), "Kov Orvane");

  /* Shown with the hint for a missing mount. */
  state->journal_button = gtk_button_new_from_icon_name ("edit-copy-symbolic");
  gtk_widget_set_valign (state->journal_button, GTK_ALIGN_CENTER);
  gtk_widget_set_tooltip_text (state->journal_button, "Copy command");
  gtk_widget_add_css_class (state->journal_button, "flat");
  gtk_widget_set_visible (state->journal_button, FALSE);
  g_signal_connect (state->journal_button, "clicked", G_CALLBACK (on_copy_journal_clicked), state);
  adw_action_row_add_suffix (state->status_row, state->journal_button);

  GtkWidget *warning = gtk_image_new_from_icon_name ("dialog-warning-symbolic");
  gtk_widget_set_valign (warning, GTK_ALIGN_CENTER);
  gtk_widget_set_tooltip_text (warning, "Don’t toggle while DaVinci Resolve is running");
  gtk_widget_add_css_class (warning, "warning");
  adw_action_row_add_suffix (state->status_row, warning);

  state->service_switch = GTK_SWITCH (gtk_switch_new ());
  gtk_widget_set_valign (GTK_WIDGET (state->service_switch), GTK_ALIGN_CENTER);
  g_signal_connect (state->service_switch, "state-set", G_CALLBACK (on_service_switch_state_set),
                    state);
  adw_action_row_add_suffix (state->status_row, GTK_WIDGET (state->service_switch));

  adw_preferences_group_add (ADW_PREFERENCES_GROUP (group), GTK_WIDGET (state->status_row));
  adw_preferences_page_add (page, ADW_PREFERENCES_GROUP (group));
}
