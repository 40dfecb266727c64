#include "panel_state.h"

#include "panel_paths.h"
#include "resolve_answer.h"

/* The row as the registration stands; failure, when not NULL, is the reason
 * the last change did not happen, shown under it. */
static void
show_registration (PanelState *state, ResolveRegistration registration, const char *failure)
{
  g_autofree char *root_shown = panel_display_path (state->mount_root);
  g_autofree char *root = g_markup_escape_text (root_shown, -1);
  g_autofree char *text = NULL;
  const char *button = "Check again";

  state->resolve_registration = registration;
  switch (registration)
    {
    case RESOLVE_REGISTERED:
      text = g_strdup_printf ("%s is in Resolve’s Media Storage", root);
      button = "Remove";
      break;
    case RESOLVE_NOT_REGISTERED:
      text = g_strdup_printf ("Add %s so Resolve lists your shares", root);
      button = "Add";
      break;
    case RESOLVE_CONFIG_MISSING:
      text = g_strdup ("Resolve’s settings weren’t found. Start DaVinci Resolve once and close "
                       "it, then check again.");
      break;
    case RESOLVE_UNKNOWN:
      text = g_strdup ("Couldn’t read Resolve’s settings: kov-orvane didn’t answer");
      break;
    }
  if (failure != NULL)
    {
      g_autofree char *reason = g_markup_escape_text (failure, -1);
      g_autofree char *both = g_strdup_printf ("%s\n<b>%s</b>", text, reason);
      g_free (text);
      text = g_steal_pointer (&both);
    }
  adw_action_row_set_subtitle (state->resolve_row, text);
  gtk_button_set_label (state->resolve_button, button);
  if (registration == RESOLVE_NOT_REGISTERED)
    gtk_widget_add_css_class (GTK_WIDGET (state->resolve_button), "suggested-action");
  else
    gtk_widget_remove_css_class (GTK_WIDGET (state->resolve_button), "suggested-action");
}

static ResolveRegistration
read_registration (PanelState *state)
{
  const char *argv[] = { state->service_program, "--resolve-register", "status", NULL };
  g_autofree char *out = NULL;
  g_autofree char *err = NULL;

  if (run_program (argv, &out, &err) != 0)
    return RESOLVE_UNKNOWN;
  return resolve_registration_from_status (out, state->mount_root);
}

void
refresh_resolve_registration (PanelState *state)
{
  show_registration (state, read_registration (state), NULL);
}

static void
change_registration (PanelState *state, gboolean add)
{
  const char *argv[]
      = { state->service_program, "--resolve-register", add ? "add" : "remove", state->mount_root,
          NULL };
  g_autofree char *out = NULL;
  g_autofree char *err = NULL;
  int status = run_program (argv, &out, &err);
  g_autofree char *message = NULL;

  switch (resolve_change_result (status, out, err, &message))
    {
    case RESOLVE_CHANGED:
      refresh_resolve_registration (state);
      show_toast (state, add ? "Added to Resolve’s Media Storage"
                             : "Removed from Resolve’s Media Storage");
      break;
    case RESOLVE_NO_CHANGE:
      refresh_resolve_registration (state);
      show_toast (state, add ? "Already in Resolve’s Media Storage"
                             : "Already gone from Resolve’s Media Storage");
      break;
    case RESOLVE_REFUSED_RUNNING:
      /* Nothing was touched: the row stays as it is. */
      show_toast (state, "Close DaVinci Resolve first, then try again");
      break;
    case RESOLVE_CHANGE_CONFIG_MISSING:
      refresh_resolve_registration (state);
      show_toast (state, "Resolve’s settings weren’t found");
      break;
    case RESOLVE_CHANGE_FAILED:
      show_registration (state, read_registration (state), message);
      show_toast (state, "Couldn’t change Resolve’s settings");
      break;
    }
}

static void
on_resolve_button_clicked (GtkButton *button, gpointer user_data)
{
  auto *state = static_cast<PanelState *> (user_data);

  switch (state->resolve_registration)
    {
    case RESOLVE_REGISTERED:
      change_registration (state, FALSE);
      break;
    case RESOLVE_NOT_REGISTERED:
      change_registration (state, TRUE);
      break;
    default:
      /* Nothing to change yet: look again, and say so when nothing is new. */
      refresh_resolve_registration (state);
      if (state->resolve_registration == RESOLVE_CONFIG_MISSING)
        show_toast (state, "Resolve’s settings still weren’t found");
      else if (state->resolve_registration == RESOLVE_UNKNOWN)
        show_toast (state, "Still no answer from kov-orvane");
      break;
    }
}

void
resolve_page_build (PanelState *state, AdwPreferencesPage *page)
{
  state->resolve_group = ADW_PREFERENCES_GROUP (adw_preferences_group_new ());
  adw_preferences_group_set_title (state->resolve_group, "DaVinci Resolve");
  adw_preferences_group_set_description (
      state->resolve_group, "Resolve shows media only from the folders in its Media Storage.");

  state->resolve_row = ADW_ACTION_ROW (adw_action_row_new ());
  adw_preferences_row_set_title (ADW_PREFERENCES_ROW (state->resolve_row), "Media Storage");
  adw_action_row_set_subtitle_lines (state->resolve_row, 0);
  state->resolve_button = GTK_BUTTON (gtk_button_new_with_label ("Check again"));
  gtk_widget_set_valign (GTK_WIDGET (state->resolve_button), GTK_ALIGN_CENTER);
  g_signal_connect (state->resolve_button, "clicked", G_CALLBACK (on_resolve_button_clicked),
                    state);
  adw_action_row_add_suffix (state->resolve_row, GTK_WIDGET (state->resolve_button));

  adw_preferences_group_add (state->resolve_group, GTK_WIDGET (state->resolve_row));
  adw_preferences_page_add (page, state->resolve_group);
}
