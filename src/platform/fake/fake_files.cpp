// The in-memory file system of the fake platform.
#include "platform/fake/fake_files.h"

#include "platform/fake/fake_platform.h"

#include <algorithm>
#include <map>
#include <vector>

namespace vek::platform::fake {

namespace {

constexpr Dword error_invalid_parameter = 87;
constexpr Dword error_bad_length = 24;

struct Files {
    ModuleFileName module;
    std::map<std::u16string, FileEntry, std::less<>> entries;
    std::map<std::u16string, std::u16string, std::less<>> full_paths;
    std::u16string current_directory = u"C:\\Work";
    // Which entry each open file handle stands for.
    std::map<Handle, std::u16string> open_files;
};

Files& files() {
    static Files instance;
    return instance;
}

const FileEntry* find_entry(std::u16string_view path) {
    auto it = files().entries.find(path);
    return it == files().entries.end() ? nullptr : &it->second;
}

const FileEntry* entry_of_handle(Handle handle) {
    auto it = files().open_files.find(handle);
    if (it == files().open_files.end() || !is_open(handle, HandleKind::file)) return nullptr;
    return find_entry(it->second);
}

bool same_drive(char16_t a, char16_t b) {
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    return upper(a) == upper(b);
}

// A plain stand-in for the platform's normalisation: enough for the paths the
// tests hand it (drive, rooted, drive-relative, relative and share paths).
std::u16string absolute_form(std::u16string_view path) {
    std::u16string text(path);
    std::replace(text.begin(), text.end(), u'/', u'\\');
    const std::u16string& current = files().current_directory;
    std::u16string root;
    std::u16string rest;
    if (text.starts_with(u"\\\\")) {
        root = u"\\\\";
        rest = text.substr(2);
    } else if (text.size() >= 2 && text[1] == u':') {
        if (text.size() >= 3 && text[2] == u'\\') {
            root = text.substr(0, 3);
            rest = text.substr(3);
        } else if (same_drive(text[0], current[0])) {
            root = current.substr(0, 3);
            rest = current.substr(3) + u"\\" + text.substr(2);
        } else {
            root = text.substr(0, 2) + u"\\";
            rest = text.substr(2);
        }
    } else if (text.starts_with(u"\\")) {
        root = current.substr(0, 3);
        rest = text.substr(1);
    } else {
        root = current.substr(0, 3);
        rest = current.substr(3) + u"\\" + text;
    }

    std::vector<std::u16string> components;
    std::size_t at = 0;
    while (at <= rest.size()) {
        std::size_t end = std::min(rest.find(u'\\', at), rest.size());
        std::u16string component = rest.substr(at, end - at);
        if (component == u"..") {
            if (!components.empty()) components.pop_back();
        } else if (!component.empty() && component != u".") {
            components.push_back(std::move(component));
        }
        at = end + 1;
    }
    std::u16string full = root;
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i != 0) full += u'\\';
        full += components[i];
    }
    return full;
}

// Copies `text` and a NUL into a buffer of `size` units, or gives the size
// needed (NUL included) without writing when it does not fit.
Dword copy_out(std::u16string_view text, char16_t* buffer, Dword size) {
    if (text.size() + 1 > size) return static_cast<Dword>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return static_cast<Dword>(text.size());
}

}  // namespace

ModuleFileName& module_file_name() { return files().module; }

void add_entry(std::u16string path, FileEntry entry) {
    files().entries.insert_or_assign(std::move(path), entry);
}

void set_full_path(std::u16string path, std::u16string full) {
    files().full_paths.insert_or_assign(std::move(path), std::move(full));
}

void set_current_directory(std::u16string directory) {
    files().current_directory = std::move(directory);
}

void reset_files() { files() = Files{}; }

}  // namespace vek::platform::fake

namespace vek::platform {

using namespace fake;

Dword GetModuleFileNameW(Handle module, char16_t* filename, Dword size) {
    record({"GetModuleFileNameW", {number_of(module), size}, {}});
    if (injected_failure("GetModuleFileNameW")) return 0;
    const ModuleFileName& module_name = files().module;
    const std::u16string& name = module_name.name;
    if (name.size() < size) {
        std::copy(name.begin(), name.end(), filename);
        filename[name.size()] = u'\0';
        // Windows clears the last error on success (from Vista on).
        if (!name.empty()) SetLastError(error_success);
        return static_cast<Dword>(name.size());
    }
    // Never more than the size: a cut name is written as far as it fits.
    SetLastError(error_insufficient_buffer);
    if (size > 0) {
        std::copy_n(name.begin(), size - 1, filename);
        filename[size - 1] = u'\0';
    }
    return size;
}

Handle CreateFileW(const char16_t* file_name, Dword desired_access, Dword share_mode,
                   void* security_attributes, Dword creation_disposition,
                   Dword flags_and_attributes, Handle template_file) {
    record({"CreateFileW",
            {desired_access, share_mode, number_of(security_attributes), creation_disposition,
             flags_and_attributes, number_of(template_file)},
            {text_of(file_name)}});
    if (injected_failure("CreateFileW")) return invalid_handle_value();
    const FileEntry* entry = find_entry(file_name);
    if (entry == nullptr) {
        SetLastError(error_file_not_found);
        return invalid_handle_value();
    }
    bool following = (flags_and_attributes & file_flag_open_reparse_point) == 0;
    if (auto code = following ? entry->open_failure : entry->open_failure_not_following) {
        SetLastError(*code);
        return invalid_handle_value();
    }
    Handle handle = open_handle(HandleKind::file);
    files().open_files[handle] = file_name;
    return handle;
}

Bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* information) {
    record({"GetFileInformationByHandle", {number_of(file)}, {}});
    if (injected_failure("GetFileInformationByHandle")) return 0;
    const FileEntry* entry = entry_of_handle(file);
    if (entry == nullptr) {
        SetLastError(error_invalid_handle);
        return 0;
    }
    if (entry->information_failure) {
        SetLastError(*entry->information_failure);
        return 0;
    }
    *information = ByHandleFileInformation{};
    information->dwFileAttributes = entry->attributes;
    information->nNumberOfLinks = 1;
    return 1;
}

Bool GetFileInformationByHandleEx(Handle file, int information_class, void* information,
                                  Dword buffer_size) {
    record({"GetFileInformationByHandleEx",
            {number_of(file), static_cast<std::uint64_t>(information_class), buffer_size},
            {}});
    if (injected_failure("GetFileInformationByHandleEx")) return 0;
    const FileEntry* entry = entry_of_handle(file);
    if (entry == nullptr) {
        SetLastError(error_invalid_handle);
        return 0;
    }
    if (information_class != file_attribute_tag_info_class) {
        SetLastError(error_invalid_parameter);
        return 0;
    }
    if (buffer_size < sizeof(FileAttributeTagInfo)) {
        SetLastError(error_bad_length);
        return 0;
    }
    if (entry->tag_information_failure) {
        SetLastError(*entry->tag_information_failure);
        return 0;
    }
    bool reparse = (entry->attributes & file_attribute_reparse_point) != 0;
    *static_cast<FileAttributeTagInfo*>(information) =
        FileAttributeTagInfo{entry->attributes, reparse ? entry->reparse_tag : 0};
    return 1;
}

Bool CloseHandle(Handle object) {
    record({"CloseHandle", {number_of(object)}, {}});
    if (!close_handle(object, HandleKind::file)) {
        SetLastError(error_invalid_handle);
        return 0;
    }
    files().open_files.erase(object);
    return 1;
}

Handle FindFirstFileW(const char16_t* file_name, Win32FindData* find_data) {
    record({"FindFirstFileW", {}, {text_of(file_name)}});
    if (injected_failure("FindFirstFileW")) return invalid_handle_value();
    const FileEntry* entry = find_entry(file_name);
    if (entry == nullptr || !entry->listed) {
        SetLastError(error_file_not_found);
        return invalid_handle_value();
    }
    *find_data = Win32FindData{};
    find_data->dwFileAttributes = entry->attributes;
    if ((entry->attributes & file_attribute_reparse_point) != 0)
        find_data->dwReserved0 = entry->reparse_tag;
    std::u16string_view path(file_name);
    std::u16string_view name = path.substr(path.find_last_of(u"\\/") + 1);
    name = name.substr(0, std::size(find_data->cFileName) - 1);
    std::copy(name.begin(), name.end(), find_data->cFileName);
    return open_handle(HandleKind::find);
}

Bool FindClose(Handle find_file) {
    record({"FindClose", {number_of(find_file)}, {}});
    if (!close_handle(find_file, HandleKind::find)) {
        SetLastError(error_invalid_handle);
        return 0;
    }
    return 1;
}

Dword GetFullPathNameW(const char16_t* file_name, Dword buffer_length, char16_t* buffer,
                       char16_t** file_part) {
    record({"GetFullPathNameW", {buffer_length, number_of(file_part)}, {text_of(file_name)}});
    if (injected_failure("GetFullPathNameW")) return 0;
    std::u16string_view path(file_name);
    auto it = files().full_paths.find(path);
    std::u16string full = it != files().full_paths.end() ? it->second : absolute_form(path);
    return copy_out(full, buffer, buffer_length);
}

}  // namespace vek::platform
