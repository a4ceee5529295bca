#include "settingsstore.h"

SettingsStore::SettingsStore()
    : QSettings(QLatin1String(organisation), QLatin1String(application))
{
}
