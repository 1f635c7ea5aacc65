#pragma once

// Registers the image bundle (":/product/...", ":/toolicon/...", ":/login/...") and maps the
// font families the forms name onto the installed CJK font. Call once from main() after the
// application object exists; calling it again does no harm.
void initImageResources();
