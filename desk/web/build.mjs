// Bundles the page into one script and one style sheet beside index.html:
//   node build.mjs [OUTDIR]   (default: dist)
// Everything the page needs is in OUTDIR, so the desk serves it offline.
import { build } from 'esbuild';
import { copyFileSync, mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const outdir = resolve(process.argv[2] ?? join(here, 'dist'));
mkdirSync(outdir, { recursive: true });

await build({
  entryPoints: { desk: join(here, 'src', 'main.js') },
  bundle: true,
  minify: true,
  format: 'esm',
  target: 'es2020',
  outdir,
  legalComments: 'linked',
  logLevel: 'warning',
});
copyFileSync(join(here, 'index.html'), join(outdir, 'index.html'));
