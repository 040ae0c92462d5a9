/*
 * The file system velmora runs in inside the page's worker. Its root holds
 * the picked file, read in slices through FileReaderSync and never whole,
 * and the folders velmora makes: a file written there goes to the page piece
 * by piece, so that the worker keeps none of it. velmora's standard output
 * (the repair log) and standard error (its progress bar and its errors) go
 * to the page line by line.
 *
 * The page stops a repair the way Ctrl-C stops velmora: it revokes a blob
 * URL the worker looks at every few tenths of a second while it reads and
 * writes, and the worker then raises SIGINT, whose handler is velmora's own.
 */
mergeInto(LibraryManager.library, {
  $VELMORAFS__deps: ['$FS', '$TTY'],
  $VELMORAFS__postset: 'Module["VELMORAFS"] = VELMORAFS;',
  $VELMORAFS: {
    DIR_MODE: {{{ cDefine('S_IFDIR') }}} | 511,
    FILE_MODE: {{{ cDefine('S_IFREG') }}} | 438,
    // The picked file is read in slices of this size: one read of the
    // browser's file layer costs about as much as copying a few MiB, and
    // longer reads go faster. The slices last read are kept (start's
    // cacheBytes): the engine goes over a document several times (the scan,
    // the layers, the merged image, the rebuilt document), and a file that
    // fits is read from the browser once.
    SLICE: 32 * 1024 * 1024,
    SLICES_KEPT: 8,
    POLL_MS: 250,

    post: null,
    source: null,
    sourceNode: null,
    reader: null,
    slices: [],
    unreadable: null,
    nextFile: 1,
    stopUrl: null,
    nextPoll: 0,
    stopping: false,
    percent: -1,
    stdoutBytes: [],
    stderrBytes: [],

    /** Mounts the picked file as `name` in /repair, the working directory,
     * and takes over the standard streams. */
    start: function(opts) {
      VELMORAFS.post = opts.post;
      VELMORAFS.source = opts.source;
      VELMORAFS.stopUrl = opts.stopUrl || null;
      VELMORAFS.reader = new FileReaderSync();
      // A file that fits in the cache is kept whole as it is read; a larger
      // one is read again on every pass anyway, and keeps only the slices of
      // the places the engine reads at once (the scan, a layer, a merged
      // image, the rebuilt document's sources).
      // It is read in longer slices, which go faster still.
      if (opts.cacheBytes) {
        if (opts.source.size <= opts.cacheBytes) {
          VELMORAFS.SLICE = 2 * VELMORAFS.SLICE;
          VELMORAFS.SLICES_KEPT = Math.max(2, Math.ceil(opts.source.size / VELMORAFS.SLICE));
        } else {
          VELMORAFS.SLICES_KEPT = Math.max(2, Math.min(4, Math.floor(opts.cacheBytes / VELMORAFS.SLICE)));
        }
      }
      TTY.default_tty_ops.put_char = function(tty, val) { VELMORAFS.stdout(val); };
      TTY.default_tty_ops.flush = function(tty) { VELMORAFS.stdout(10, true); };
      TTY.default_tty1_ops.put_char = function(tty, val) { VELMORAFS.stderr(val); };
      TTY.default_tty1_ops.flush = function(tty) { VELMORAFS.stderr(10); };
      FS.mkdir('/repair');
      FS.mount(VELMORAFS, { name: opts.name }, '/repair');
      FS.chdir('/repair');
    },

    decode: function(bytes) {
      return new TextDecoder('utf-8').decode(new Uint8Array(bytes));
    },

    // A line of the log: everything velmora prints on its standard output.
    stdout: function(val, flushOnly) {
      var b = VELMORAFS.stdoutBytes;
      if (val === null || val === 10) {
        if (flushOnly && b.length === 0) return;
        VELMORAFS.post({ type: 'line', text: VELMORAFS.decode(b) });
        VELMORAFS.stdoutBytes = [];
      } else if (val !== 0) {
        b.push(val);
      }
    },

    // Standard error: the progress bar, redrawn after a carriage return, and
    // velmora's error lines.
    stderr: function(val) {
      var b = VELMORAFS.stderrBytes;
      if (val !== null && val !== 10 && val !== 13) {
        if (val !== 0) b.push(val);
        return;
      }
      if (b.length === 0) return;
      var text = VELMORAFS.decode(b).replace(/\x1b\[[0-9;]*[A-Za-z]/g, '');
      VELMORAFS.stderrBytes = [];
      var bar = /\[[#.]+\]\s+(\d+)%/.exec(text);
      if (bar) {
        var percent = Number(bar[1]);
        if (percent !== VELMORAFS.percent) {
          VELMORAFS.percent = percent;
          VELMORAFS.post({ type: 'progress', percent: percent });
        }
      } else if (text.trim() !== '') {
        VELMORAFS.post({ type: 'message', text: text });
      }
    },

    // Whether the page has asked for a stop: its blob URL no longer loads.
    // The first stop is velmora's Ctrl-C, raised once.
    poll: function() {
      if (!VELMORAFS.stopUrl || VELMORAFS.stopping) return;
      var now = performance.now();
      if (now < VELMORAFS.nextPoll) return;
      VELMORAFS.nextPoll = now + VELMORAFS.POLL_MS;
      var going = false;
      try {
        var xhr = new XMLHttpRequest();
        xhr.open('GET', VELMORAFS.stopUrl, false);
        xhr.send();
        going = xhr.status === 200;
      } catch (e) {
        going = false;
      }
      if (!going) {
        VELMORAFS.stopping = true;
        VELMORAFS.post({ type: 'stopping' });
        Module['_raise'](2); // SIGINT
      }
    },

    relativePath: function(node) {
      var parts = [];
      for (; node && node.parent !== node && node !== VELMORAFS.root; node = node.parent) parts.unshift(node.name);
      return parts.join('/');
    },

    mount: function(mount) {
      var root = VELMORAFS.createNode(null, '/', VELMORAFS.DIR_MODE);
      VELMORAFS.root = root;
      var source = VELMORAFS.createNode(root, mount.opts.name, {{{ cDefine('S_IFREG') }}} | 292);
      source.size = VELMORAFS.source.size;
      if (VELMORAFS.source.lastModified) source.timestamp = VELMORAFS.source.lastModified;
      VELMORAFS.sourceNode = source;
      return root;
    },

    createNode: function(parent, name, mode) {
      var node = FS.createNode(parent, name, mode, 0);
      node.node_ops = VELMORAFS.node_ops;
      node.stream_ops = VELMORAFS.stream_ops;
      node.timestamp = Date.now();
      node.size = 0;
      if (FS.isDir(mode)) node.contents = {};
      if (parent) parent.contents[name] = node;
      return node;
    },

    node_ops: {
      getattr: function(node) {
        return {
          dev: 1,
          ino: node.id,
          mode: node.mode,
          nlink: 1,
          uid: 0,
          gid: 0,
          rdev: 0,
          size: FS.isDir(node.mode) ? 4096 : node.size,
          atime: new Date(node.timestamp),
          mtime: new Date(node.timestamp),
          ctime: new Date(node.timestamp),
          blksize: 4096,
          blocks: Math.ceil(node.size / 4096),
        };
      },
      setattr: function(node, attr) {
        if (attr.mode !== undefined) node.mode = attr.mode;
        if (attr.timestamp !== undefined) node.timestamp = attr.timestamp;
        if (attr.size !== undefined && attr.size !== node.size) {
          if (!node.fileId) throw new FS.ErrnoError({{{ cDefine('EPERM') }}});
          node.size = attr.size;
          VELMORAFS.post({ type: 'truncate', id: node.fileId, size: attr.size });
        }
      },
      lookup: function(parent, name) {
        throw new FS.ErrnoError({{{ cDefine('ENOENT') }}});
      },
      mknod: function(parent, name, mode, dev) {
        if (FS.isDir(mode)) return VELMORAFS.createNode(parent, name, VELMORAFS.DIR_MODE);
        if (!FS.isFile(mode)) throw new FS.ErrnoError({{{ cDefine('EPERM') }}});
        var node = VELMORAFS.createNode(parent, name, VELMORAFS.FILE_MODE);
        node.fileId = VELMORAFS.nextFile++;
        VELMORAFS.post({ type: 'create', id: node.fileId, path: VELMORAFS.relativePath(node) });
        return node;
      },
      rename: function(oldNode, newDir, newName) {
        throw new FS.ErrnoError({{{ cDefine('EPERM') }}});
      },
      unlink: function(parent, name) {
        var node = parent.contents[name];
        if (!node || !node.fileId) throw new FS.ErrnoError({{{ cDefine('EPERM') }}});
        VELMORAFS.post({ type: 'unlink', id: node.fileId });
        delete parent.contents[name];
      },
      rmdir: function(parent, name) {
        var node = parent.contents[name];
        if (Object.keys(node.contents).length > 0) throw new FS.ErrnoError({{{ cDefine('ENOTEMPTY') }}});
        delete parent.contents[name];
      },
      readdir: function(node) {
        return ['.', '..'].concat(Object.keys(node.contents));
      },
      symlink: function(parent, newName, oldPath) {
        throw new FS.ErrnoError({{{ cDefine('EPERM') }}});
      },
      readlink: function(node) {
        throw new FS.ErrnoError({{{ cDefine('EINVAL') }}});
      },
    },

    // Bytes [at, at + count) of the picked file, as an ArrayBuffer; a file
    // that can no longer be read (changed, moved or deleted since it was
    // picked) fails every read from then on, as an unreadable disk does.
    stats: { reads: 0, readBytes: 0, readMs: 0, writes: 0, writeBytes: 0, writeMs: 0 },
    readSource: function(at, count) {
      if (VELMORAFS.unreadable) throw new FS.ErrnoError({{{ cDefine('EIO') }}});
      try {
        var started = performance.now();
        var read = VELMORAFS.reader.readAsArrayBuffer(VELMORAFS.source.slice(at, at + count));
        VELMORAFS.stats.reads++;
        VELMORAFS.stats.readBytes += read.byteLength;
        VELMORAFS.stats.readMs += performance.now() - started;
        return read;
      } catch (e) {
        VELMORAFS.unreadable = String(e && e.name || e);
        VELMORAFS.post({ type: 'unreadable', at: at, reason: VELMORAFS.unreadable });
        throw new FS.ErrnoError({{{ cDefine('EIO') }}});
      }
    },

    sliceAt: function(at) {
      var slices = VELMORAFS.slices;
      for (var i = 0; i < slices.length; ++i) {
        var s = slices[i];
        if (at >= s.start && at < s.start + s.bytes.length) {
          if (i > 0) {
            slices.splice(i, 1);
            slices.unshift(s);
          }
          return s;
        }
      }
      var start = Math.floor(at / VELMORAFS.SLICE) * VELMORAFS.SLICE;
      var size = VELMORAFS.sourceNode.size;
      var bytes = new Uint8Array(VELMORAFS.readSource(start, Math.min(VELMORAFS.SLICE, size - start)));
      var slice = { start: start, bytes: bytes };
      slices.unshift(slice);
      if (slices.length > VELMORAFS.SLICES_KEPT) slices.pop();
      return slice;
    },

    stream_ops: {
      read: function(stream, buffer, offset, length, position) {
        var node = stream.node;
        if (node !== VELMORAFS.sourceNode) throw new FS.ErrnoError({{{ cDefine('EACCES') }}});
        VELMORAFS.poll();
        var size = node.size;
        if (position >= size || length <= 0) return 0;
        var end = Math.min(size, position + length);
        var at = position;
        var heap = new Uint8Array(buffer.buffer, buffer.byteOffset, buffer.length);
        while (at < end) {
          if (end - at >= VELMORAFS.SLICE) {
            // A long read goes straight into memory, in pieces of a slice.
            var direct = new Uint8Array(VELMORAFS.readSource(at, VELMORAFS.SLICE));
            heap.set(direct, offset + (at - position));
            at += direct.length;
            if (direct.length === 0) break;
            continue;
          }
          var s = VELMORAFS.sliceAt(at);
          var from = at - s.start;
          var n = Math.min(end - at, s.bytes.length - from);
          if (n <= 0) break;
          heap.set(s.bytes.subarray(from, from + n), offset + (at - position));
          at += n;
        }
        return at - position;
      },
      write: function(stream, buffer, offset, length, position) {
        var node = stream.node;
        if (!node.fileId) throw new FS.ErrnoError({{{ cDefine('EACCES') }}});
        VELMORAFS.poll();
        if (length <= 0) return 0;
        var started = performance.now();
        var bytes = new Uint8Array(buffer.buffer, buffer.byteOffset + offset, length).slice();
        VELMORAFS.post({ type: 'write', id: node.fileId, position: position, bytes: bytes }, [bytes.buffer]);
        VELMORAFS.stats.writes++;
        VELMORAFS.stats.writeBytes += length;
        VELMORAFS.stats.writeMs += performance.now() - started;
        node.size = Math.max(node.size, position + length);
        node.timestamp = Date.now();
        return length;
      },
      close: function(stream) {
        if (stream.node.fileId && (stream.flags & {{{ cDefine('O_ACCMODE') }}}) !== {{{ cDefine('O_RDONLY') }}})
          VELMORAFS.post({ type: 'close', id: stream.node.fileId });
      },
      llseek: function(stream, offset, whence) {
        var position = offset;
        if (whence === {{{ cDefine('SEEK_CUR') }}}) position += stream.position;
        else if (whence === {{{ cDefine('SEEK_END') }}}) position += stream.node.size;
        if (position < 0) throw new FS.ErrnoError({{{ cDefine('EINVAL') }}});
        return position;
      },
    },
  },
});
