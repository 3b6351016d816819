// Widgets of the desktop user interface.
