// Runs the real panel window and drives it through GTK, one step per
// command-line word, printing what the window shows. The test suite runs it
// under Xvfb against stand-ins and judges the printed texts and the files the
// panel wrote. Any step that cannot be carried out fails the run with status 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>

#include "panel_state.h"

#include "build_config.h"

namespace {

PanelState *panel;
int n_steps;
char **steps;

[[noreturn]] void
fail (const char *format, ...)
{
  va_list args;
  va_start (args, format);
  fflush (stdout);
  fputs ("FAIL: ", stderr);
  vfprintf (stderr, format, args);
  fputc ('\n', stderr);
  va_end (args);
  _exit (1);
}

bool
spin_until (const std::function<bool ()> &done, int timeout_ms)
{
  gint64 end = g_get_monotonic_time () + gint64 (timeout_ms) * 1000;
  while (!done ())
    {
      if (g_get_monotonic_time () > end)
        return false;
      if (!g_main_context_iteration (NULL, FALSE))
        g_usleep (2000);
    }
  return true;
}

void
settle (int ms)
{
  spin_until ([] { return false; }, ms);
}

using Match = std::function<bool (GtkWidget *)>;

GtkWidget *
find_widget (GtkWidget *root, const Match &match)
{
  if (match (root))
    return root;
  for (GtkWidget *child = gtk_widget_get_first_child (root); child != NULL;
       child = gtk_widget_get_next_sibling (child))
    if (GtkWidget *found = find_widget (child, match))
      return found;
  return NULL;
}

void
find_all (GtkWidget *root, const Match &match, GPtrArray *out)
{
  if (match (root))
    g_ptr_array_add (out, root);
  for (GtkWidget *child = gtk_widget_get_first_child (root); child != NULL;
       child = gtk_widget_get_next_sibling (child))
    find_all (child, match, out);
}

GtkWidget *
find_in_toplevels (const Match &match)
{
  GListModel *toplevels = gtk_window_get_toplevels (); /* owned by GTK */
  for (guint i = 0; i < g_list_model_get_n_items (toplevels); i++)
    {
      g_autoptr (GtkWidget) window = GTK_WIDGET (g_list_model_get_item (toplevels, i));
      if (GtkWidget *found = find_widget (window, match))
        return found;
    }
  return NULL;
}

const char *
text_or_empty (const char *text)
{
  return text != NULL ? text : "";
}

bool
has_tooltip (GtkWidget *widget, const char *tooltip)
{
  const char *text = gtk_widget_get_tooltip_text (widget);
  return text != NULL && g_str_equal (text, tooltip);
}

GtkWidget *
button_with_tooltip (GtkWidget *root, const char *tooltip)
{
  return find_widget (root, [tooltip] (GtkWidget *w) {
    return GTK_IS_BUTTON (w) && gtk_widget_is_visible (w) && has_tooltip (w, tooltip);
  });
}

void
on_clicked_note (GtkButton *button, gpointer user_data)
{
  *static_cast<bool *> (user_data) = true;
}

/* Keyboard activation of a button emits "clicked" only after a short press
 * animation; wait for it, so the next step sees what the click did. */
void
click (GtkWidget *button)
{
  bool clicked = false;
  /* The click may rebuild the rows and drop the button; keep it until we are done. */
  g_autoptr (GtkWidget) held = GTK_WIDGET (g_object_ref (button));
  gulong id = g_signal_connect_after (held, "clicked", G_CALLBACK (on_clicked_note), &clicked);
  gtk_widget_activate (held);
  if (!spin_until ([&clicked] { return clicked; }, 5000))
    fail ("the button was never clicked");
  g_signal_handler_disconnect (held, id);
}

void
print_classes (GtkWidget *widget)
{
  for (const char *css : { "flat", "suggested-action", "warning" })
    if (gtk_widget_has_css_class (widget, css))
      printf (" class=%s", css);
}

void
print_control (GtkWidget *widget, const char *indent)
{
  if (GTK_IS_SWITCH (widget))
    printf ("%sswitch active=%d state=%d", indent, gtk_switch_get_active (GTK_SWITCH (widget)),
            gtk_switch_get_state (GTK_SWITCH (widget)));
  else if (GTK_IS_BUTTON (widget))
    printf ("%sbutton icon=%s label=\"%s\" sensitive=%d", indent,
            text_or_empty (gtk_button_get_icon_name (GTK_BUTTON (widget))),
            text_or_empty (gtk_button_get_label (GTK_BUTTON (widget))), gtk_widget_get_sensitive (widget));
  else
    printf ("%simage icon=%s", indent, text_or_empty (gtk_image_get_icon_name (GTK_IMAGE (widget))));
  const char *tooltip = gtk_widget_get_tooltip_text (widget);
  if (tooltip != NULL)
    printf (" tooltip=\"%s\"", tooltip);
  if (gtk_widget_get_valign (widget) == GTK_ALIGN_CENTER)
    printf (" valign=center");
  print_classes (widget);
  printf ("\n");
}

bool
is_control (GtkWidget *w)
{
  if (!gtk_widget_get_visible (w))
    return false;
  if (GTK_IS_IMAGE (w))
    return gtk_image_get_icon_name (GTK_IMAGE (w)) != NULL && !GTK_IS_BUTTON (gtk_widget_get_parent (w))
           && gtk_widget_get_ancestor (w, GTK_TYPE_SWITCH) == NULL;
  return GTK_IS_SWITCH (w) || GTK_IS_BUTTON (w);
}

void
dump_row (GtkWidget *row)
{
  printf ("  row \"%s\" subtitle \"%s\"\n", adw_preferences_row_get_title (ADW_PREFERENCES_ROW (row)),
          text_or_empty (adw_action_row_get_subtitle (ADW_ACTION_ROW (row))));
  g_autoptr (GPtrArray) labels = g_ptr_array_new ();
  find_all (row, [] (GtkWidget *w) {
    return GTK_IS_LABEL (w) && gtk_widget_is_visible (w) && gtk_widget_get_ancestor (w, GTK_TYPE_BUTTON) == NULL;
  }, labels);
  for (guint i = 0; i < labels->len; i++)
    printf ("    shows \"%s\" from \"%s\"\n", gtk_label_get_text (GTK_LABEL (labels->pdata[i])),
            gtk_label_get_label (GTK_LABEL (labels->pdata[i])));
  g_autoptr (GPtrArray) controls = g_ptr_array_new ();
  find_all (row, is_control, controls);
  for (guint i = 0; i < controls->len; i++)
    print_control (GTK_WIDGET (controls->pdata[i]), "    ");
}

void
dump_group (GtkWidget *group)
{
  printf ("group \"%s\" %s description \"%s\"\n",
          adw_preferences_group_get_title (ADW_PREFERENCES_GROUP (group)),
          gtk_widget_get_visible (group) ? "visible" : "hidden",
          text_or_empty (adw_preferences_group_get_description (ADW_PREFERENCES_GROUP (group))));
  g_autoptr (GPtrArray) header = g_ptr_array_new ();
  find_all (group, [] (GtkWidget *w) {
    return GTK_IS_BUTTON (w) && gtk_widget_get_ancestor (w, ADW_TYPE_ACTION_ROW) == NULL;
  }, header);
  for (guint i = 0; i < header->len; i++)
    print_control (GTK_WIDGET (header->pdata[i]), "  header ");
  g_autoptr (GPtrArray) rows = g_ptr_array_new ();
  find_all (group, [] (GtkWidget *w) { return ADW_IS_ACTION_ROW (w); }, rows);
  for (guint i = 0; i < rows->len; i++)
    dump_row (GTK_WIDGET (rows->pdata[i]));
}

void
step_dump ()
{
  GtkWidget *window = GTK_WIDGET (panel->window);
  int width = 0, height = 0;
  gtk_window_get_default_size (GTK_WINDOW (window), &width, &height);
  printf ("window \"%s\" %dx%d\n", gtk_window_get_title (GTK_WINDOW (window)), width, height);
  g_autoptr (GPtrArray) groups = g_ptr_array_new ();
  find_all (window, [] (GtkWidget *w) { return ADW_IS_PREFERENCES_GROUP (w); }, groups);
  for (guint i = 0; i < groups->len; i++)
    dump_group (GTK_WIDGET (groups->pdata[i]));
  printf ("end\n");
}

GtkWidget *
wait_for_toplevel (const Match &match, const char *what)
{
  GtkWidget *found = NULL;
  if (!spin_until ([&] { return (found = find_in_toplevels (match)) != NULL; }, 10000))
    fail ("%s did not appear", what);
  return found;
}

GtkWidget *
find_toast ()
{
  return find_widget (GTK_WIDGET (panel->toast_overlay), [] (GtkWidget *w) {
    return g_str_equal (G_OBJECT_TYPE_NAME (w), "AdwToastWidget");
  });
}

/* A toast slides in from below the window's edge: wait until it lies wholly
 * inside and has stopped moving, so a picture shows all of it. */
void
wait_toast_settled ()
{
  GtkWidget *overlay = GTK_WIDGET (panel->toast_overlay);
  float last_bottom = -1;
  gint64 still_since = 0;
  spin_until ([&] {
    GtkWidget *toast = find_toast ();
    graphene_rect_t bounds;
    if (toast == NULL)
      return true;
    if (!gtk_widget_compute_bounds (toast, overlay, &bounds))
      return false;
    float bottom = bounds.origin.y + bounds.size.height;
    gint64 now = g_get_monotonic_time ();
    if (bottom != last_bottom || bottom > float (gtk_widget_get_height (overlay)))
      {
        last_bottom = bottom;
        still_since = now;
        return false;
      }
    return now - still_since > 600 * 1000;
  }, 5000);
}

void
save_png (GtkWidget *widget, const char *png)
{
  settle (300);
  if (widget == GTK_WIDGET (panel->window))
    wait_toast_settled ();
  int width = gtk_widget_get_width (widget), height = gtk_widget_get_height (widget);
  g_autoptr (GdkPaintable) paintable = gtk_widget_paintable_new (widget);
  GtkSnapshot *snapshot = gtk_snapshot_new ();
  gdk_paintable_snapshot (paintable, snapshot, width, height);
  g_autoptr (GskRenderNode) node = gtk_snapshot_free_to_node (snapshot);
  if (node == NULL)
    fail ("nothing to render for %s", png);
  GskRenderer *renderer = gtk_native_get_renderer (gtk_widget_get_native (widget));
  graphene_rect_t bounds = GRAPHENE_RECT_INIT (0, 0, float (width), float (height));
  g_autoptr (GdkTexture) texture = gsk_renderer_render_texture (renderer, node, &bounds);
  if (!gdk_texture_save_to_png (texture, png))
    fail ("could not write %s", png);
  printf ("saved %s\n", png);
}

/* add FOLDER NAME|- [PNG] and add-cancel FOLDER */
void
step_add (const char *folder, const char *name, const char *png, bool cancel)
{
  GtkWidget *add = button_with_tooltip (GTK_WIDGET (panel->window), "Add folder");
  if (add == NULL)
    fail ("no “Add folder” button");
  click (add);

  GtkWidget *chooser = wait_for_toplevel ([] (GtkWidget *w) { return GTK_IS_FILE_CHOOSER (w); },
                                          "the folder chooser");
  g_autoptr (GFile) file = g_file_new_for_path (folder);
  g_autoptr (GError) error = NULL;
  if (!gtk_file_chooser_set_file (GTK_FILE_CHOOSER (chooser), file, &error))
    fail ("chooser refused %s: %s", folder, error->message);
  /* The chooser loads the parent folder before it can select ours. */
  if (!spin_until ([chooser, &file] {
        g_autoptr (GFile) chosen = gtk_file_chooser_get_file (GTK_FILE_CHOOSER (chooser));
        return chosen != NULL && g_file_equal (chosen, file);
      }, 10000))
    fail ("the chooser never selected %s", folder);
  gtk_dialog_response (GTK_DIALOG (chooser), GTK_RESPONSE_ACCEPT);

  GtkWidget *entry = wait_for_toplevel ([] (GtkWidget *w) { return GTK_IS_ENTRY (w) && gtk_widget_get_mapped (w); },
                                        "the naming dialog");
  GtkWidget *dialog = GTK_WIDGET (gtk_widget_get_root (entry));
  g_autoptr (GPtrArray) labels = g_ptr_array_new ();
  find_all (dialog, [] (GtkWidget *w) { return GTK_IS_LABEL (w) && gtk_widget_is_visible (w); }, labels);
  for (guint i = 0; i < labels->len; i++)
    printf ("dialog label \"%s\"\n", gtk_label_get_text (GTK_LABEL (labels->pdata[i])));
  printf ("suggested \"%s\"\n", gtk_editable_get_text (GTK_EDITABLE (entry)));
  if (png != NULL)
    save_png (dialog, png);

  g_object_ref (entry);
  if (cancel)
    {
      GtkWidget *cancel_button = find_widget (dialog, [] (GtkWidget *w) {
        return GTK_IS_BUTTON (w) && g_strcmp0 (gtk_button_get_label (GTK_BUTTON (w)), "Cancel") == 0;
      });
      if (cancel_button == NULL)
        fail ("no Cancel button in the naming dialog");
      gtk_widget_activate (cancel_button); /* the dialog may be gone before "clicked" returns */
    }
  else
    {
      if (!g_str_equal (name, "-"))
        gtk_editable_set_text (GTK_EDITABLE (entry), name);
      /* What the Return key binding of the entry's text widget does. */
      GtkWidget *text = find_widget (entry, [] (GtkWidget *w) { return GTK_IS_TEXT (w); });
      if (text == NULL)
        fail ("the name entry has no text widget");
      g_signal_emit_by_name (text, "activate");
    }
  if (!spin_until ([entry] { return !gtk_widget_get_mapped (entry); }, 10000))
    fail ("the naming dialog stayed open");
  g_object_unref (entry);
}

void
step_remove (const char *title)
{
  GtkWidget *row = find_widget (GTK_WIDGET (panel->shares_group), [title] (GtkWidget *w) {
    return ADW_IS_ACTION_ROW (w) && g_str_equal (adw_preferences_row_get_title (ADW_PREFERENCES_ROW (w)), title);
  });
  GtkWidget *remove = row != NULL ? button_with_tooltip (row, "Remove") : NULL;
  if (remove == NULL)
    fail ("no row “%s” with a Remove button", title);
  click (remove);
}

void
step_click (const char *tooltip_or_label)
{
  GtkWidget *button = find_widget (GTK_WIDGET (panel->window), [tooltip_or_label] (GtkWidget *w) {
    return GTK_IS_BUTTON (w) && gtk_widget_is_visible (w)
           && (has_tooltip (w, tooltip_or_label)
               || g_strcmp0 (gtk_button_get_label (GTK_BUTTON (w)), tooltip_or_label) == 0);
  });
  if (button == NULL)
    fail ("no visible button “%s”", tooltip_or_label);
  click (button);
}

void
step_clipboard ()
{
  /* The content the panel put on the window's clipboard, as GTK holds it. */
  GdkClipboard *clipboard = gtk_widget_get_clipboard (GTK_WIDGET (panel->window));
  /* On X11 the claim completes after a round trip to the server. */
  if (!spin_until ([clipboard] { return gdk_clipboard_get_content (clipboard) != NULL; }, 5000))
    fail ("the clipboard holds nothing of the panel's");
  GdkContentProvider *content = gdk_clipboard_get_content (clipboard);
  g_auto (GValue) value = G_VALUE_INIT;
  g_value_init (&value, G_TYPE_STRING);
  g_autoptr (GError) error = NULL;
  if (!gdk_content_provider_get_value (content, &value, &error))
    fail ("the clipboard holds no text: %s", error->message);
  printf ("clipboard \"%s\"\n", g_value_get_string (&value));
}

void
step_toast ()
{
  GtkWidget *label = NULL;
  auto shown = [&label] {
    GtkWidget *toast = find_toast ();
    label = toast != NULL ? find_widget (toast, [] (GtkWidget *w) {
      return GTK_IS_LABEL (w) && gtk_widget_get_visible (w) && gtk_label_get_text (GTK_LABEL (w))[0] != '\0';
    })
                          : NULL;
    return label != NULL;
  };
  if (!spin_until (shown, 10000))
    fail ("no toast appeared");
  printf ("toast \"%s\"\n", gtk_label_get_text (GTK_LABEL (label)));
}

void
step_wait_manifest ()
{
  if (!spin_until ([] { return panel->latest_version != NULL; }, 10000))
    fail ("the manifest was not read");
  printf ("latest \"%s\"\n", panel->latest_version);
}

void
step_wait_scan ()
{
  if (!spin_until ([] { return panel->codec_scan == NULL; }, 20000))
    fail ("the share scan never answered");
}

void
step_wait_label (const char *label)
{
  if (!spin_until ([label] { return g_str_equal (gtk_button_get_label (panel->update_button), label); }, 20000))
    fail ("the update button never read “%s”", label);
}

/* Scrolls the page so the group titled title shows at the top. */
void
step_scroll_to (const char *title)
{
  GtkWidget *group = find_widget (GTK_WIDGET (panel->window), [title] (GtkWidget *w) {
    return ADW_IS_PREFERENCES_GROUP (w)
           && g_strcmp0 (adw_preferences_group_get_title (ADW_PREFERENCES_GROUP (w)), title) == 0;
  });
  GtkWidget *scrolled = group != NULL ? gtk_widget_get_ancestor (group, GTK_TYPE_SCROLLED_WINDOW) : NULL;
  if (scrolled == NULL)
    fail ("no group “%s” in a scrolled page", title);
  GtkWidget *content = gtk_scrolled_window_get_child (GTK_SCROLLED_WINDOW (scrolled));
  graphene_point_t origin = GRAPHENE_POINT_INIT (0, 0), at;
  if (!gtk_widget_compute_point (group, content, &origin, &at))
    fail ("group “%s” has no place yet", title);
  GtkAdjustment *adjustment = gtk_scrolled_window_get_vadjustment (GTK_SCROLLED_WINDOW (scrolled));
  gtk_adjustment_set_value (adjustment, at.y - 12);
  settle (200);
}

void
step_activate ()
{
  g_application_activate (G_APPLICATION (panel->application));
  settle (200);
  GListModel *toplevels = gtk_window_get_toplevels (); /* owned by GTK */
  guint n_windows = 0;
  for (guint i = 0; i < g_list_model_get_n_items (toplevels); i++)
    {
      g_autoptr (GtkWidget) window = GTK_WIDGET (g_list_model_get_item (toplevels, i));
      if (ADW_IS_APPLICATION_WINDOW (window))
        n_windows++;
    }
  printf ("windows %u\n", n_windows);
}

const char *
next_arg (int &i)
{
  if (i + 1 >= n_steps)
    fail ("step “%s” needs an argument", steps[i]);
  return steps[++i];
}

gboolean
run_steps (gpointer)
{
  if (!spin_until ([] { return gtk_widget_get_mapped (GTK_WIDGET (panel->window)); }, 10000))
    fail ("the window was never shown");
  settle (100);
  for (int i = 0; i < n_steps; i++)
    {
      const char *step = steps[i];
      if (g_str_equal (step, "dump"))
        step_dump ();
      else if (g_str_equal (step, "add"))
        {
          const char *folder = next_arg (i);
          const char *name = next_arg (i);
          step_add (folder, name, NULL, false);
        }
      else if (g_str_equal (step, "add-shot"))
        {
          const char *folder = next_arg (i);
          const char *png = next_arg (i);
          step_add (folder, "-", png, false);
        }
      else if (g_str_equal (step, "add-cancel"))
        step_add (next_arg (i), NULL, NULL, true);
      else if (g_str_equal (step, "remove"))
        step_remove (next_arg (i));
      else if (g_str_equal (step, "resolve"))
        click (GTK_WIDGET (panel->resolve_button));
      else if (g_str_equal (step, "scroll-to"))
        step_scroll_to (next_arg (i));
      else if (g_str_equal (step, "toggle"))
        {
          /* Activation animates the knob; the switch changes when it ends. */
          gtk_widget_activate (GTK_WIDGET (panel->service_switch));
          settle (1000);
        }
      else if (g_str_equal (step, "click"))
        step_click (next_arg (i));
      else if (g_str_equal (step, "clipboard"))
        step_clipboard ();
      else if (g_str_equal (step, "toast"))
        step_toast ();
      else if (g_str_equal (step, "wait-manifest"))
        step_wait_manifest ();
      else if (g_str_equal (step, "wait-scan"))
        step_wait_scan ();
      else if (g_str_equal (step, "wait-label"))
        step_wait_label (next_arg (i));
      else if (g_str_equal (step, "settle"))
        settle (atoi (next_arg (i)));
      else if (g_str_equal (step, "activate"))
        step_activate ();
      else if (g_str_equal (step, "shot"))
        save_png (GTK_WIDGET (panel->window), next_arg (i));
      else
        fail ("unknown step “%s”", step);
      fflush (stdout);
    }
  g_application_quit (G_APPLICATION (panel->application));
  return G_SOURCE_REMOVE;
}

void
on_activated (GApplication *application, gpointer)
{
  static bool started;
  if (!started)
    g_idle_add (run_steps, NULL);
  started = true;
}

} // namespace

int
main (int argc, char **argv)
{
  n_steps = argc - 1;
  steps = argv + 1;
  panel = panel_state_new ();
  panel->application = adw_application_new (panel_application_id (), G_APPLICATION_NON_UNIQUE);
  g_signal_connect (panel->application, "activate", G_CALLBACK (on_application_activate), panel);
  g_signal_connect_after (panel->application, "activate", G_CALLBACK (on_activated), NULL);
  int status = g_application_run (G_APPLICATION (panel->application), 1, argv);
  panel_state_free (panel);
  return status;
}
