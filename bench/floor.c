/* The floor of a source snapshot: what the machine needs to collect the
   .py and .ipynb files below the working directory, with no interpreter in
   the way. It walks the tree with getdents64 (one listing per folder,
   hidden names skipped, links to folders followed), then opens every
   matching file relative to its folder, sizes it with fstat and reads it
   into freshly allocated memory, which stays allocated until the whole
   snapshot is taken (as a file dictionary holds every text).

       floor CALLS

   takes CALLS snapshots of the working directory, freeing each before the
   next (so later calls reuse the memory the first one faulted in), and
   prints one JSON object: the CPU time (user + system) of each call in
   nanoseconds, the files and bytes of the last one. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define CHUNK 32768

struct text {
    char *data;
    size_t size;
};

struct snapshot {
    struct text *texts;
    size_t count, capacity;
    size_t bytes;
};

static int matches(const char *name) {
    size_t length = strlen(name);
    return (length >= 3 && strcmp(name + length - 3, ".py") == 0) ||
           (length >= 6 && strcmp(name + length - 6, ".ipynb") == 0);
}

static void add_text(struct snapshot *snapshot, char *data, size_t size) {
    if (snapshot->count == snapshot->capacity) {
        snapshot->capacity = snapshot->capacity ? 2 * snapshot->capacity : 1024;
        snapshot->texts = realloc(snapshot->texts, snapshot->capacity * sizeof *snapshot->texts);
        if (!snapshot->texts) abort();
    }
    snapshot->texts[snapshot->count++] = (struct text){data, size};
    snapshot->bytes += size;
}

/* One file, opened relative to its folder and read whole; a file that
   cannot be opened or read is left out (the floor measures the work, not
   the errors). */
static void read_file(struct snapshot *snapshot, int folder, const char *name) {
    int fd = openat(folder, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return;
    }
    size_t size = (size_t)status.st_size, got = 0;
    char *data = malloc(size + 1);
    if (!data) abort();
    while (got < size) {
        ssize_t n = read(fd, data + got, size - got);
        if (n <= 0) break;
        got += (size_t)n;
    }
    data[got] = '\0';
    close(fd);
    add_text(snapshot, data, got);
}

static void walk(struct snapshot *snapshot, int parent, const char *name, char *chunk) {
    int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    /* The names are kept while the folder's files are read and its
       subfolders walked (the chunk buffer is reused below). */
    char *names = NULL;
    size_t names_size = 0, names_capacity = 0;
    for (;;) {
        ssize_t size = getdents64(folder, chunk, CHUNK);
        if (size <= 0) break;
        for (ssize_t offset = 0; offset < size;) {
            struct dirent64 *entry = (struct dirent64 *)(chunk + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] == '.') continue;
            int is_folder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
                struct stat status;
                is_folder = fstatat(folder, entry->d_name, &status, 0) == 0 && S_ISDIR(status.st_mode);
            }
            if (!is_folder && !matches(entry->d_name)) continue;
            size_t length = strlen(entry->d_name) + 2;
            if (names_size + length > names_capacity) {
                names_capacity = 2 * (names_size + length);
                names = realloc(names, names_capacity);
                if (!names) abort();
            }
            names[names_size] = is_folder ? 'd' : 'f';
            memcpy(names + names_size + 1, entry->d_name, length - 1);
            names_size += length;
        }
    }
    for (size_t at = 0; at < names_size; at += strlen(names + at) + 1)
        if (names[at] == 'f') read_file(snapshot, folder, names + at + 1);
    for (size_t at = 0; at < names_size; at += strlen(names + at) + 1)
        if (names[at] == 'd') walk(snapshot, folder, names + at + 1, chunk);
    free(names);
    close(folder);
}

static long long cpu_time(void) {
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

int main(int argc, char **argv) {
    int calls = argc > 1 ? atoi(argv[1]) : 1;
    static char chunk[CHUNK];
    struct snapshot snapshot = {0};
    printf("{\"cpu_ns\": [");
    for (int call = 0; call < calls; ++call) {
        for (size_t i = 0; i < snapshot.count; ++i) free(snapshot.texts[i].data);
        free(snapshot.texts);
        snapshot = (struct snapshot){0};
        long long start = cpu_time();
        walk(&snapshot, AT_FDCWD, ".", chunk);
        long long elapsed = cpu_time() - start;
        printf("%s%lld", call ? ", " : "", elapsed);
    }
    printf("], \"files\": %zu, \"bytes\": %zu}\n", snapshot.count, snapshot.bytes);
    return 0;
}
