/*
 * The worker of one repair. velmora.mjs starts it from a script made of the
 * engine's glue (velmora-engine.js, which defines createVelmora) followed by
 * this file, and sends it the picked file, velmora's command line, the
 * compiled engine and the blob URL whose end means "stop". The engine runs
 * velmora's main in the file system of velmora-fs.js; everything it says
 * and writes goes back as messages (see velmora.mjs).
 */
/* global createVelmora */
'use strict';

self.onmessage = async (event) => {
  const { module, source, name, args, stopUrl, cacheBytes, environment } = event.data;
  const post = (message, transfer) => self.postMessage(message, transfer || []);
  let engine;
  try {
    engine = await createVelmora({
      noInitialRun: true,
      // The engine reads its environment (ZELT_MEMORY_BUDGET) before main.
      preRun: [(m) => Object.assign(m.ENV, environment || {})],
      // The page compiled the engine once; every repair instantiates it anew.
      instantiateWasm(imports, receive) {
        WebAssembly.instantiate(module, imports).then(
          (instance) => receive(instance, module),
          (error) => post({ type: 'crash', message: `The engine could not be started: ${error}` }));
        return {};
      },
      print: (text) => post({ type: 'message', text }),
      printErr: (text) => post({ type: 'message', text }),
    });
  } catch (error) {
    post({ type: 'crash', message: `The engine could not be started: ${error}` });
    return;
  }
  let status;
  const started = performance.now();
  try {
    engine.VELMORAFS.start({ source, name, stopUrl, post, cacheBytes });
    status = engine.callMain(args);
  } catch (error) {
    // A trap of the engine (it ran out of memory where it could not say so,
    // or it crashed): the repair ends here, as a killed velmora would.
    post({ type: 'crash', message: String(error && error.message || error), memory: engine.HEAPU8.length });
    return;
  }
  post({ type: 'exit', status, memory: engine.HEAPU8.length, stats: engine.VELMORAFS.stats, engineMs: performance.now() - started });
};
