// SPDX-License-Identifier: MIT
// A plugin of the outside project: built in the same project as the
// application and packed into a subfolder, where the application loads it.
__declspec(dllexport) const char *plugin_greeting(void)
{
    return "plugin loaded from plugins";
}
