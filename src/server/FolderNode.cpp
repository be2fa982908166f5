// FolderNode.cpp - the one-time scan of a directory into folder and file nodes.
#include "server/FolderNode.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "server/HTEscape.h"
#include "server/ServerState.h"
#include "platform/DirectoryEnum.h"

namespace {

constexpr const char* kConfigName = "vantrel.cfg";

bool IsActive(const CScanContext& context, dev_t device, ino_t inode) {
    return std::find(context.m_active.begin(), context.m_active.end(),
                     std::make_pair(device, inode)) != context.m_active.end();
}

void ApplyConfigFile(int dirFd, COptions& options) {
    // Only a plain file: a FIFO or a link to a device of that name would stall or flood the
    // start-up (O_NONBLOCK keeps the open of a FIFO from waiting for a writer).
    CFd fd(::openat(dirFd, kConfigName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd.IsValid())
            std::fprintf(stderr, "Scan: %s is not a plain file, not read\n", kConfigName);
        return;
    }
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd.Get(), chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    std::istringstream in(text);
    options.ReadOptionsFile(in);
}

// Keeps the scan's record of active directories in step with the recursion.
class CActiveGuard {
  public:
    CActiveGuard(CScanContext& context, std::size_t mark) : m_context(context), m_mark(mark) {}
    ~CActiveGuard() { m_context.m_active.resize(m_mark); }

  private:
    CScanContext& m_context;
    std::size_t m_mark;
};

}  // namespace

CFolderNode::CFolderNode(const std::string& directory) {
    CScanContext context;
    context.m_parentDirFd = AT_FDCWD;
    Scan(directory, *DefaultOptions(), context);
}

CFolderNode::CFolderNode(CFolderNode* parent, const CFindData& entry, CScanContext& context)
    : CFileNode(entry) {
    Scan(entry.m_name, parent->Options(), context);
}

CFolderNode::CFolderNode(NoScan, std::string name) {
    m_name = std::move(name);
}

void CFolderNode::Scan(const std::string& dir, const COptions& parentOptions,
                       CScanContext& context) {
    m_indexNode = nullptr;
    COptions options = parentOptions;
    options.m_redirect.clear();

    CFd dirFd = OpenDirectory(context.m_parentDirFd, dir);
    if (!dirFd.IsValid()) {
        m_options = std::make_shared<const COptions>(std::move(options));
        return;
    }
    // The path the system reports for the root and for `path` targets; a child's is its
    // parent's path and its name (the scan reaches it through the parent's descriptor).
    std::string dirPath = context.m_parentDirFd == AT_FDCWD || dir.empty() || dir[0] == '/'
                              ? DirectoryPath(dirFd.Get())
                              : context.m_parentDirPath + dir;
    CActiveGuard guard(context, context.m_active.size());
    for (;;) {
        CFindData self;
        if (StatDirectory(dirFd.Get(), self)) {
            context.m_active.emplace_back(self.m_device, self.m_inode);
        }
        m_dirPath = dirPath.ends_with('/') ? dirPath : dirPath + "/";
        ApplyConfigFile(dirFd.Get(), options);
        if (!options.m_title.empty()) {
            m_label = std::move(options.m_title);
            options.m_title.clear();
        }
        if (options.m_path.empty()) break;
        std::string target = std::exchange(options.m_path, {});
        CFd next = OpenDirectory(dirFd.Get(), target);
        CFindData nextData;
        if (!next.IsValid() || !StatDirectory(next.Get(), nextData)) {
            std::fprintf(stderr, "Scan: path %s of %s cannot be entered, not followed\n",
                         target.c_str(), m_dirPath.c_str());
            break;
        }
        if (IsActive(context, nextData.m_device, nextData.m_inode)) {
            std::fprintf(stderr,
                         "Scan: path %s of %s leads back to a folder being scanned, not followed\n",
                         target.c_str(), m_dirPath.c_str());
            break;
        }
        dirPath = DirectoryPath(next.Get());
        dirFd = std::move(next);
    }

    bool stop = false;
    if (options.m_topics) {
        if (!g_state.m_topicsFolder) {
            g_state.m_topicsFolder = this;
        } else if (g_state.m_topicsFolder != this) {
            stop = true;
        }
    }
    if (!stop) {
        if (options.m_models && !g_state.m_modelsFolder) g_state.m_modelsFolder = this;
        if (options.m_icons && !g_state.m_iconsFolder) g_state.m_iconsFolder = this;
        if (options.m_redirect.empty() && !parentOptions.m_redirect.empty()) {
            options.m_redirect = parentOptions.m_redirect + HTEscape(dir) + "/";
        }
    }
    m_options = std::make_shared<const COptions>(std::move(options));
    if (stop) return;

    CScanContext childContext{dirFd.Get(), m_dirPath, context.m_active};
    EnumerateDirectory(dirFd.Get(), [&](const CFindData& entry) {
        if (entry.m_isHidden) return;  // a name starting with "." covers "." and ".." too
        std::unique_ptr<CNode> child;
        if (entry.m_isDirectory) {
            if (IsActive(childContext, entry.m_device, entry.m_inode)) {
                std::fprintf(stderr,
                             "Scan: %s%s leads back to a folder being scanned, not followed\n",
                             m_dirPath.c_str(), entry.m_name.c_str());
                return;
            }
            if (Options().m_topics && g_state.m_makeMailbox) {
                child = g_state.m_makeMailbox(this, entry, childContext);
            } else {
                child = std::make_unique<CFolderNode>(this, entry, childContext);
            }
        } else {
            if (EqualsIgnoringCase(entry.m_name, kConfigName)) return;
            auto file = std::make_unique<CFileNode>(entry);
            if (entry.m_name == "index.htm" || entry.m_name == "index.html") {
                m_indexNode = file.get();
            }
            m_filesSize += file->m_size;
            child = std::move(file);
        }
        m_size += child->m_size;
        AddChild(std::move(child));
    });
    m_dirFd = std::move(dirFd);
}
