// Runs RNNoise (the npm package @echogarden/rnnoise-wasm) on raw files for the quality benchmark.
//
// Usage: node rnnoise.mjs PACKAGE_FOLDER IN.f32 OUT.f32 [IN.f32 OUT.f32 ...]
//
// PACKAGE_FOLDER is where npm installed the package (it holds node_modules/). The files are raw
// little-endian 32-bit floats, 48 kHz mono, in [-1, 1]. RNNoise takes 480-sample frames in the
// 16-bit range; a last partial frame is padded with zeros and the output cut back to the input's
// length. Every file gets a state of its own.
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const FRAME = 480;
const SCALE = 32768;

const [packageFolder, ...files] = process.argv.slice(2);
if (!packageFolder || files.length === 0 || files.length % 2 !== 0) {
    console.error('usage: node rnnoise.mjs PACKAGE_FOLDER IN.f32 OUT.f32 [IN.f32 OUT.f32 ...]');
    process.exit(2);
}

const entry = join(packageFolder, 'node_modules', '@echogarden', 'rnnoise-wasm', 'rnnoise.js');
const { default: createModule } = await import(pathToFileURL(entry).href);
const rnnoise = await createModule();
if (rnnoise._rnnoise_get_frame_size() !== FRAME) {
    console.error(`RNNoise expects frames of ${rnnoise._rnnoise_get_frame_size()} samples, not ${FRAME}`);
    process.exit(1);
}
const buffer = rnnoise._malloc(FRAME * 4);

for (let i = 0; i < files.length; i += 2) {
    const bytes = readFileSync(files[i]);
    const input = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
    const output = new Float32Array(input.length);
    const state = rnnoise._rnnoise_create(0);
    for (let start = 0; start < input.length; start += FRAME) {
        const count = Math.min(FRAME, input.length - start);
        // The heap view is fetched anew each frame: it is replaced whenever the memory grows.
        const frame = rnnoise.HEAPF32.subarray(buffer >> 2, (buffer >> 2) + FRAME);
        frame.fill(0);
        for (let k = 0; k < count; ++k) frame[k] = input[start + k] * SCALE;
        rnnoise._rnnoise_process_frame(state, buffer, buffer);
        const processed = rnnoise.HEAPF32.subarray(buffer >> 2, (buffer >> 2) + FRAME);
        for (let k = 0; k < count; ++k) output[start + k] = processed[k] / SCALE;
    }
    rnnoise._rnnoise_destroy(state);
    writeFileSync(files[i + 1], Buffer.from(output.buffer));
}
rnnoise._free(buffer);
