#include "detect/inspect.h"
#include "detect/protected_path.h"

#include <gtest/gtest.h>

TEST(ProtectedPath, PathUnderFolder)
{
    struct Case {
        const char* path;
        const char* folder;
        bool want;
    };
    const Case cases[] = {
        {"C:\\Windows\\System32\\kernel32.dll", "C:\\Windows", true},
        {"c:\\WINDOWS\\system32\\KERNEL32.DLL", "C:\\Windows", true},
        {"C:\\Windows\\x.dll", "c:\\windows", true},
        {"C:\\Windows", "C:\\Windows", true},
        {"C:\\Windows\\", "C:\\Windows", true},
        // Component boundaries only.
        {"C:\\WindowsApps\\x.exe", "C:\\Windows", false},
        {"C:\\Windows.old\\x.exe", "C:\\Windows", false},
        {"C:\\Win\\x.exe", "C:\\Windows", false},
        {"C:\\Program Files (x86)\\App\\a.exe", "C:\\Program Files", false},
        {"C:\\Program Files (x86)\\App\\a.exe", "C:\\Program Files (x86)", true},
        {"C:\\Program Files\\App\\a.exe", "C:\\Program Files", true},
        // Separators: either kind, runs of them, trailing ones.
        {"C:/Windows/System32/x.dll", "C:\\Windows", true},
        {"C:\\Windows\\System32\\x.dll", "C:/Windows/", true},
        {"C:\\Windows\\\\System32\\x.dll", "C:\\Windows\\\\", true},
        {"C:\\\\Windows\\x.dll", "C:\\Windows", true},
        // Long-path and device prefixes on either side.
        {"\\\\?\\C:\\Windows\\System32\\x.dll", "C:\\Windows", true},
        {"C:\\Windows\\System32\\x.dll", "\\\\?\\C:\\Windows", true},
        {"\\\\?\\c:\\windows\\x.dll", "\\\\?\\C:\\Windows\\", true},
        {"\\\\.\\C:\\Windows\\x.dll", "C:\\Windows", true},
        {"\\\\?\\UNC\\srv\\share\\Windows\\x.dll", "\\\\srv\\share\\Windows", true},
        {"\\\\srv\\share\\Windows\\x.dll", "\\\\?\\UNC\\srv\\share\\Windows", true},
        {"\\\\?\\UNC\\srv\\share\\x.dll", "C:\\Windows", false},
        // "." and "..", read as the system reads them.
        {"C:\\Windows\\.\\System32\\x.dll", "C:\\Windows", true},
        {"C:\\Windows\\..\\Users\\x.exe", "C:\\Windows", false},
        {"C:\\Windows\\System32\\..\\x.exe", "C:\\Windows", true},
        {"C:\\Temp\\..\\Windows\\x.exe", "C:\\Windows", true},
        {"C:\\..\\..\\Windows\\x.exe", "C:\\Windows", true},
        {"C:\\Windows\\...\\x.exe", "C:\\Windows", true},
        // Other drives, relative and rooted paths.
        {"D:\\Windows\\x.dll", "C:\\Windows", false},
        {"Windows\\x.dll", "C:\\Windows", false},
        {"\\Windows\\x.dll", "C:\\Windows", false},
        {"C:", "C:\\Windows", false},
        {"", "C:\\Windows", false},
        // A drive's root holds the whole drive.
        {"C:\\x.exe", "C:\\", true},
        {"D:\\x.exe", "C:\\", false},
        // Folders that name nothing hold nothing.
        {"C:\\Windows\\x.dll", "", false},
        {"C:\\Windows\\x.dll", "\\", false},
        {"C:\\Windows\\x.dll", "//", false},
        {"C:\\Windows\\x.dll", "\\\\?\\", false},
        // Bytes above 127 are compared as they are.
        {"C:\\Programme\xC4\\x.exe", "C:\\programme\xC4", true},
        {"C:\\Programme\xE4\\x.exe", "C:\\programme\xC4", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(path_under_folder(c.path, c.folder), c.want) << c.path << " under " << c.folder;
    EXPECT_FALSE(path_under_folder(nullptr, "C:\\Windows"));
    EXPECT_FALSE(path_under_folder("C:\\Windows\\x.dll", nullptr));
}

TEST(ProtectedPath, OnlyHeuristicVerdictsAreLeftInPlace)
{
    struct Case {
        const char* threat;
        bool heuristic;
    };
    const Case cases[] = {
        {"HEUR:Suspicious.API(3)", true},
        {"HEUR:Suspicious.Script(2)", true},
        {"HEUR:DoubleExtension", true},
        {"HEUR:DisguisedExecutable", true},
        {"EICAR-Test-File", false},
        {"Trojan.Generic", false},
        {"heur:Suspicious.API(3)", false},
        {"HEUR", false},
        {"", false},
        {nullptr, false},
    };
    const char* const folders[] = {"C:\\Windows", nullptr, "", "C:\\Program Files",
                                   "C:\\Program Files (x86)"};
    const size_t n = sizeof(folders) / sizeof(folders[0]);
    for (const Case& c : cases) {
        EXPECT_EQ(verdict_is_heuristic(c.threat), c.heuristic) << (c.threat ? c.threat : "null");
        const int want = c.heuristic ? 0 : -1;
        EXPECT_EQ(
            heuristic_left_in_place("C:\\Windows\\System32\\user32.dll", c.threat, folders, n),
            want)
            << (c.threat ? c.threat : "null");
    }
    // The index of the folder that holds the file; none outside them.
    const char* heur = "HEUR:Suspicious.API(5)";
    EXPECT_EQ(heuristic_left_in_place("C:\\Program Files\\A\\a.exe", heur, folders, n), 3);
    EXPECT_EQ(heuristic_left_in_place("c:/program files (x86)/A/a.exe", heur, folders, n), 4);
    EXPECT_EQ(heuristic_left_in_place("C:\\Users\\me\\a.exe", heur, folders, n), -1);
    EXPECT_EQ(heuristic_left_in_place("C:\\Windows\\a.exe", heur, folders, 0), -1);
    EXPECT_EQ(heuristic_left_in_place("C:\\Windows\\a.exe", heur, nullptr, 3), -1);
}
