#ifndef SETTINGSSTORE_H
#define SETTINGSSTORE_H

#include <QSettings>

// The user's settings store, in which the window keeps its choices and from which the
// command-line program takes them: its organisation, application and keys are spelled here
// only, for a store that a later version or the other program must find as it was.
class SettingsStore : public QSettings
{
public:
    SettingsStore();

    static constexpr char organisation[] = "Tarvolen Inc.";
    // The program's name as the window shows it; the settings are kept under it.
    static constexpr char application[] = "Morlunex Transcoder 0.980";

    // The keys.
    static constexpr char rawWidth[] = "prevwidth";        // the last raw input's geometry
    static constexpr char rawHeight[] = "prevheight";
    static constexpr char recentFolder[] = "recentDir";    // where the last file was picked
    static constexpr char configFile[] = "cfgfile";        // the encoder's configuration chosen
    static constexpr char encoderProgram[] = "hevcencoder";
    static constexpr char parallelEncoders[] = "parallelEncoders";

    // What the encoder and configuration fields hold while the store names none: names in the
    // program's own folder.
    static constexpr char defaultEncoder[] = "TAppEncoder_hm80.exe";
    static constexpr char defaultConfig[] = "hevczent.cfg";
};

#endif // SETTINGSSTORE_H
