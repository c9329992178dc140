// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/windowsendpoints.h"

#ifdef _WIN32

#include <windows.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <cwchar>

namespace {

std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(size_t(size) - 1);
    return out;
}

std::wstring instanceId(DEVINST node)
{
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return id;
}

std::wstring friendlyName(DEVINST node)
{
    wchar_t name[512] = {};
    ULONG size = sizeof name - sizeof name[0];
    ULONG type = 0;
    if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_FRIENDLYNAME, &type, name, &size, 0)
            != CR_SUCCESS
        || type != REG_SZ)
        return {};
    return name;
}

bool startsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.size() >= prefix.size()
           && _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// Every endpoint below `node`, depth first; the depth is bounded, as a
// device tree is shallow.
void collectEndpoints(DEVINST node, int depth, std::vector<std::string>& names)
{
    if (depth > 8)
        return;
    DEVINST child = 0;
    if (CM_Get_Child(&child, node, 0) != CR_SUCCESS)
        return;
    do {
        if (startsWith(instanceId(child), L"SWD\\MMDEVAPI\\")) {
            const std::wstring name = friendlyName(child);
            if (!name.empty())
                names.push_back(utf8(name.c_str()));
        }
        collectEndpoints(child, depth + 1, names);
    } while (CM_Get_Sibling(&child, child, 0) == CR_SUCCESS);
}

} // namespace

WindowsEndpoints::Found WindowsEndpoints::forUsbDevice(uint16_t vendorId, uint16_t productId)
{
    Found found;
    const ULONG flags = CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT;
    ULONG length = 0;
    if (CM_Get_Device_ID_List_SizeW(&length, L"USB", flags) != CR_SUCCESS || length == 0)
        return found;
    std::wstring list(length, L'\0');
    if (CM_Get_Device_ID_ListW(L"USB", &list[0], length, flags) != CR_SUCCESS)
        return found;

    wchar_t prefix[32];
    std::swprintf(prefix, sizeof prefix / sizeof prefix[0], L"USB\\VID_%04X&PID_%04X\\",
                  unsigned(vendorId), unsigned(productId));
    // The list is a run of strings, each ended by a null, the whole by another.
    for (const wchar_t* id = list.c_str(); *id; id += std::wcslen(id) + 1) {
        // The composite device itself, not one of its interfaces (&MI_nn):
        // the endpoints sit below the audio interface's node, inside it.
        if (!startsWith(id, prefix))
            continue;
        DEVINST node = 0;
        if (CM_Locate_DevNodeW(&node, const_cast<wchar_t*>(id), CM_LOCATE_DEVNODE_NORMAL)
                != CR_SUCCESS)
            continue;
        ++found.usbDevices;
        collectEndpoints(node, 0, found.names);
    }
    return found;
}

#else

WindowsEndpoints::Found WindowsEndpoints::forUsbDevice(uint16_t, uint16_t)
{
    return {};
}

#endif
