#!/usr/bin/python3
"""Trains the default speech denoiser and exports it.

    /usr/bin/python3 python/training/train_denoiser.py --seed 1 --minutes 85 --work build-training

Everything is regenerated from the seed: the speech corpus (python/training/speech_data.py), the
noises and every training mixture (batch k of the run is drawn from seed and k alone). A
checkpoint is written every few minutes into --work; running the same command again resumes
from it. A learning-rate cycle ends after --steps steps or --minutes of training time, whichever
comes first; a later session continues from the checkpoint with a larger --cycle. The weights
with the lowest validation loss are exported with half-float weights (to --output, by default
WORK/candidate.model).
"""

import argparse
import functools
import json
import math
import os
import random
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import denoiser  # noqa: E402
import murel.export  # noqa: E402
import speech_data  # noqa: E402
from murel.nn import si_sdr  # noqa: E402

CLIP_SECONDS = 2.0
SKIP = 2400  # the first 50 ms: the start-up frames see silence before the clip
LEVEL_WEIGHT = 0.01  # per dB squared of level change against the target (from cycle 2 on)


class Batches(torch.utils.data.IterableDataset):
    """Batch k of the run, for k from `start` on, drawn from (seed, k) alone; with several
    loader workers, worker w makes the batches k = w mod workers (the loader interleaves them
    back in order). make_clip(rng, n) makes one clip of n samples, collate(clips) the tensors."""

    def __init__(self, make_clip, collate, seed, start, batch_size):
        self.make_clip, self.collate = make_clip, collate
        self.seed, self.start, self.batch_size = seed, start, batch_size

    def __iter__(self):
        n = int(CLIP_SECONDS * speech_data.RATE)
        info = torch.utils.data.get_worker_info()
        workers, worker = (info.num_workers, info.id) if info is not None else (1, 0)
        step = self.start + worker
        while True:
            clips = [self.make_clip(random.Random((self.seed * 7919 + step) * 1000 + i), n)
                     for i in range(self.batch_size)]
            yield (step, *self.collate(clips))
            step += workers


def noisy_pair(corpus, rng, n, silent_start=0.0, pool=speech_data.NOISE_KINDS):
    return speech_data.make_pair(rng, *corpus, n, silent_start=silent_start, pool=pool)


def collate_pairs(pairs):
    noisy, clean = (np.stack(x) for x in zip(*pairs))
    # Clips without noise weigh more: clean input must pass untouched.
    weight = np.where(np.max(np.abs(noisy - clean), axis=1) < 1e-6 * (np.max(np.abs(clean), axis=1) + 1e-9), 2.0, 1.0)
    return torch.from_numpy(noisy), torch.from_numpy(clean), torch.from_numpy(weight.astype(np.float32))


UPPER_BIN = 86  # 8 kHz at the 48 kHz training rate, 512-point frames


def spectral_loss(estimate, reference, under=1.0, upper_under=0.0):
    """Per clip: distance of 0.3-compressed magnitude spectra, both scaled by the reference's
    level, with `under` times more for bins where the estimate falls short (removed speech), and
    `upper_under` more again above 8 kHz (fricatives and breath that should pass)."""
    scale = reference.std(dim=-1, keepdim=True) + 1e-5
    window = torch.hann_window(512, device=estimate.device)
    e = torch.stft(estimate / scale, 512, 128, window=window, return_complex=True).abs()
    r = torch.stft(reference / scale, 512, 128, window=window, return_complex=True).abs()
    d = e.clamp(min=1e-8) ** 0.3 - r.clamp(min=1e-8) ** 0.3
    weight = under + upper_under * (torch.arange(d.shape[1], device=d.device) >= UPPER_BIN)[:, None]
    return torch.mean(d ** 2 + weight * torch.relu(-d) ** 2, dim=(1, 2))


def loss_of(model, noisy, clean, weight=None, upper_under=0.0):
    out = model(noisy)
    out, clean = out[:, SKIP:], clean[:, SKIP:]
    score = si_sdr(out, clean)
    # Beyond 35 dB a clip is transparent enough; capping keeps clean clips from dominating.
    # Neither term sees a uniform level change much, so the level in dB is held on its own.
    level_db = 10 * torch.log10((out.pow(2).mean(dim=-1) + 1e-10) / (clean.pow(2).mean(dim=-1) + 1e-10))
    per_clip = -score.clamp(max=35.0) / 10 + spectral_loss(out, clean, upper_under=upper_under) + LEVEL_WEIGHT * level_db ** 2
    weight = torch.ones_like(per_clip) if weight is None else weight
    return (per_clip * weight).sum() / weight.sum(), score, out


# Validation: named groups of clips (host rate, noise kinds, SNR range).
VALIDATION = [("mixed", 10, 48000, None, (-5, 10)), ("chatter", 8, None, ["chatter"], (0, 10)),
              ("music", 6, None, ["music"], (0, 10)), ("snr20", 6, None, None, (20, 20)),
              ("clean", 6, None, None, None), ("16k", 8, 16000, None, (-5, 10)), ("8k", 4, 8000, None, (0, 10))]
DRY = {"clean"}  # groups without room reverberation: their target is the input itself


def validation_set(corpus, seed):
    n = int(CLIP_SECONDS * speech_data.RATE)
    groups, noisy, clean = [], [], []
    i = 0
    for name, count, rate, kinds, snrs in VALIDATION:
        for _ in range(count):
            rng = random.Random(seed * 1000 + 999_000 + i)
            i += 1
            snr = math.inf if snrs is None else rng.uniform(*snrs)
            x, y = speech_data.make_pair(rng, *corpus, n, snr=snr, kinds=kinds, rate=rate,
                                         reverb=False if name in DRY else None)
            noisy.append(x)
            clean.append(y)
            groups.append(name)
    return groups, torch.from_numpy(np.stack(noisy)), torch.from_numpy(np.stack(clean))


def evaluate(model, validation):
    """(loss, {group: mean SI-SDR improvement in dB}); for clean clips the output's SI-SDR
    against the input and the level change."""
    groups, noisy, clean = validation
    with torch.no_grad():
        losses, scores, outs = [], [], []
        for k in range(0, len(groups), 8):
            loss, score, out = loss_of(model, noisy[k:k + 8], clean[k:k + 8])
            losses.append(float(loss) * len(score))
            scores.append(score)
            outs.append(out)
        score, out = torch.cat(scores), torch.cat(outs)
        base = si_sdr(noisy[:, SKIP:], clean[:, SKIP:])
        level = 10 * torch.log10((out ** 2).mean(dim=1) / ((clean[:, SKIP:] ** 2).mean(dim=1) + 1e-12) + 1e-12)
    figures = {}
    for name in dict.fromkeys(groups):
        idx = [i for i, g in enumerate(groups) if g == name]
        if name == "clean":
            figures["clean_si_sdr"] = round(float(score[idx].mean()), 2)
            figures["clean_level_db"] = round(float(level[idx].abs().max()), 2)
        else:
            figures[name] = round(float((score[idx] - base[idx]).mean()), 2)
    noisy_idx = [i for i, g in enumerate(groups) if g != "clean"]
    figures["all"] = round(float((score[noisy_idx] - base[noisy_idx]).mean()), 2)
    return sum(losses) / len(groups), figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--size", default="large", choices=sorted(denoiser.SIZES))
    parser.add_argument("--minutes", type=float, default=80.0, help="training time of this cycle")
    parser.add_argument("--steps", type=int, default=100000, help="steps of this cycle (the time budget usually ends it first)")
    parser.add_argument("--cycle", type=int, default=1, help="a larger number than the checkpoint's starts a new "
                        "learning-rate cycle from its weights (a later session)")
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--learning-rate", type=float, default=2e-3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--checkpoint-minutes", type=float, default=5.0)
    parser.add_argument("--work", default="build-training", help="corpus cache, checkpoints and logs")
    parser.add_argument("--output", default=None, help="model file to export (default: WORK/candidate.model)")
    parser.add_argument("--float32", action="store_true", help="export float32 instead of half-float weights")
    parser.add_argument("--export-only", action="store_true", help="export the best weights so far and stop")
    parser.add_argument("--blend-with", default=None, help="export the blend of the best weights and this "
                        "checkpoint's (the same network size): (1 - BLEND) x these + BLEND x the best")
    parser.add_argument("--blend", type=float, default=0.5)
    parser.add_argument("--init", default=None, help="start from the weights of this checkpoint (same network "
                        "size, or the small network's for the recurrent one) when the work folder has no "
                        "checkpoint yet, e.g. the shipped model's")
    parser.add_argument("--silent-start", type=float, default=0.0, help="share of training clips that begin "
                        "with digital silence")
    parser.add_argument("--more-of", action="append", default=[], choices=sorted(set(speech_data.NOISE_KINDS)),
                        help="draw this noise kind more often (once more per mention)")
    parser.add_argument("--upper-band-weight", type=float, default=0.0, help="extra weight of speech removed above 8 kHz")
    parser.add_argument("--init-blend-with", default=None, help="start from the mean of --init's weights and these")
    args = parser.parse_args()

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    os.makedirs(args.work, exist_ok=True)
    log = open(os.path.join(args.work, f"train-{args.size}.log"), "a", buffering=1)

    def say(text):
        text = time.strftime("%H:%M:%S ") + text
        print(text, flush=True)
        log.write(text + "\n")

    model = denoiser.make_model(args.size)
    trainable = [p for p in model.parameters() if p.requires_grad]
    optimiser = torch.optim.AdamW(trainable, lr=args.learning_rate, weight_decay=1e-4)
    checkpoint_path = os.path.join(args.work, f"checkpoint-{args.size}.pt")
    best_path = os.path.join(args.work, f"best-{args.size}.pt")
    step, elapsed, best, cycle, cycle_step, cycle_elapsed = 0, 0.0, math.inf, args.cycle, 0, 0.0
    if os.path.exists(checkpoint_path):
        state = torch.load(checkpoint_path)
        model.load_state_dict(state["model"])
        optimiser.load_state_dict(state["optimiser"])
        step, elapsed, best = state["step"], state["elapsed"], state["best"]
        cycle, cycle_step, cycle_elapsed = state.get("cycle", 1), state.get("cycle_step", 0), state.get("cycle_elapsed", 0.0)
        say(f"resumed at step {step} after {elapsed / 60:.1f} min (cycle {cycle})")
        if args.cycle > cycle:
            # A new cycle: its best weights compete afresh (the validation set may have grown).
            cycle, cycle_step, cycle_elapsed, best = args.cycle, step, elapsed, math.inf
            say(f"cycle {cycle} starts at step {step}")

    elif args.init:
        weights = torch.load(args.init)["model"]
        if args.init_blend_with:
            other = torch.load(args.init_blend_with)["model"]
            weights = {k: 0.5 * (v + other[k]) if v.is_floating_point() else v for k, v in weights.items()}
        # A larger network may start from a smaller one's weights: what is new starts as set up.
        missing, unexpected = model.load_state_dict(weights, strict=False)
        if not denoiser.warm_start_fits(missing, unexpected):
            raise SystemExit(f"{args.init} does not fit the {args.size} network: missing {missing}, unexpected {unexpected}")
        say(f"weights from {args.init}" + (f" and {args.init_blend_with}" if args.init_blend_with else "")
            + f" (cycle {cycle}); new: {', '.join(missing) or 'nothing'}")

    if args.export_only:
        export(model, best_path, args, step, elapsed, say, None)
        return
    corpus = speech_data.load_corpus(os.path.join(args.work, "cache"), args.seed, say)
    validation = validation_set(corpus, args.seed)
    say(f"model {args.size}: {model.flops_per_frame() / 1e6:.2f} MFLOP per frame, "
        f"{sum(p.numel() for p in model.parameters())} parameters; validation {len(validation[0])} clips")
    if step == 0:
        model.eval()
        val_loss, figures = evaluate(model, validation)
        say(f"validation before training: loss {val_loss:.4f} " + json.dumps(figures))
        model.train()
    loader = torch.utils.data.DataLoader(Batches(functools.partial(noisy_pair, corpus, silent_start=args.silent_start,
                                                                   pool=speech_data.NOISE_KINDS + args.more_of),
                                                 collate_pairs, args.seed, step, args.batch), batch_size=None,
                                         num_workers=args.workers, prefetch_factor=4)
    last_save = time.time()
    started = time.time() - elapsed
    for batch_step, noisy, clean, weight in loader:
        assert batch_step == step
        progress = max((step - cycle_step) / args.steps, (elapsed - cycle_elapsed) / (args.minutes * 60))
        if progress >= 1:
            break
        # The cosine follows whichever budget runs out first, so a slow machine still anneals.
        warm = min(1.0, (step - cycle_step + 1) / 100)
        for group in optimiser.param_groups:
            group["lr"] = args.learning_rate * warm * (0.02 + 0.98 * 0.5 * (1 + math.cos(math.pi * progress)))
        loss, score, _ = loss_of(model, noisy, clean, weight, args.upper_band_weight)
        optimiser.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(trainable, 5.0)
        optimiser.step()
        step += 1
        elapsed = time.time() - started
        if step % 25 == 0:
            say(f"step {step} {elapsed / 60:.1f} min lr {optimiser.param_groups[0]['lr']:.2e} loss {float(loss):.4f} "
                f"si-sdr {float(score.mean()):.2f} dB")
        if time.time() - last_save > args.checkpoint_minutes * 60:
            model.eval()
            val_loss, figures = evaluate(model, validation)
            model.train()
            say(f"validation at step {step}: loss {val_loss:.4f} " + json.dumps(figures))
            if val_loss < best:
                best = val_loss
                atomic_save({"model": model.state_dict(), "step": step, "loss": val_loss, "figures": figures}, best_path)
            atomic_save({"model": model.state_dict(), "optimiser": optimiser.state_dict(), "step": step,
                         "elapsed": elapsed, "best": best, "cycle": cycle, "cycle_step": cycle_step,
                         "cycle_elapsed": cycle_elapsed}, checkpoint_path)
            last_save = time.time()

    model.eval()
    val_loss, figures = evaluate(model, validation)
    say(f"validation at step {step}: loss {val_loss:.4f} " + json.dumps(figures))
    if val_loss < best:
        best = val_loss
        atomic_save({"model": model.state_dict(), "step": step, "loss": val_loss, "figures": figures}, best_path)
    atomic_save({"model": model.state_dict(), "optimiser": optimiser.state_dict(), "step": step, "elapsed": elapsed,
                 "best": best, "cycle": cycle, "cycle_step": cycle_step, "cycle_elapsed": cycle_elapsed}, checkpoint_path)
    export(model, best_path, args, step, elapsed, say, validation)


def atomic_save(state, path):
    torch.save(state, path + ".tmp")
    os.replace(path + ".tmp", path)


def export(model, best_path, args, step, elapsed, say, validation):
    """Writes the best weights (half floats unless --float32) to the output model file."""
    best = torch.load(best_path) if os.path.exists(best_path) else {"model": model.state_dict(), "step": step}
    weights = best["model"]
    if args.blend_with:
        # Half way between the weights fine-tuned on new material and those they started from
        # keeps most of what each knows (the starting model's removal of clicks, say).
        start = torch.load(args.blend_with)["model"]
        weights = {k: (1 - args.blend) * start[k] + args.blend * v if v.is_floating_point() else v
                   for k, v in weights.items()}
    model.load_state_dict(weights)
    model.eval()
    if not args.float32:
        with torch.no_grad():
            for p in model.parameters():
                p.copy_(p.half().float())
    output = args.output or os.path.join(args.work, "candidate.model")
    size = murel.export.save(model, output, half=not args.float32)
    summary = {"step": best["step"], "last_step": step, "minutes": round(elapsed / 60, 1),
               "validation": best.get("figures"), "mflop_per_frame": round(model.flops_per_frame() / 1e6, 3),
               "latency_samples": model.latency_samples(), "parameters": sum(p.numel() for p in model.parameters()),
               "bytes": size, "seed": args.seed, "size": args.size,
               "blend": [args.blend_with, args.blend] if args.blend_with else None}
    if validation is not None:
        summary["validation_exported"] = evaluate(model, validation)[1]
    say("exported " + output + " " + json.dumps(summary))
    with open(os.path.join(args.work, f"summary-{args.size}.json"), "w") as f:
        json.dump(summary, f, indent=1)


if __name__ == "__main__":
    main()
