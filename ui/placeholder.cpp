// Keeps the library non-empty.
namespace sweepbox_ui_placeholder {
int unused = 0;
}
