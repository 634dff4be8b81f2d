// Keeps the library non-empty until the windows land.
namespace sweepbox_app_placeholder {
int unused = 0;
}
