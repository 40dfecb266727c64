#include "build_config.h"
#include "panel_state.h"

int
main (int argc, char **argv)
{
  PanelState *state = panel_state_new ();

  state->application = adw_application_new (panel_application_id (), G_APPLICATION_DEFAULT_FLAGS);
  g_signal_connect (state->application, "activate", G_CALLBACK (on_application_activate), state);
  int status = g_application_run (G_APPLICATION (state->application), argc, argv);
  panel_state_free (state);
  return status;
}
