#include "panel_state.h"

#include "update_manifest.h"

static const char *const unit_name = "kov-orvane.service";

static void
systemctl (const char *verb)
{
  const char *argv[] = { "systemctl", "--user", verb, unit_name, NULL };
  g_autofree char *ignored = capture_output (argv);
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

  g_autofree char *subtitle
      = g_strdup_printf ("%s · version %s", running ? "Running" : "Stopped", PANEL_VERSION);
  adw_action_row_set_subtitle (state->status_row, subtitle);
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
