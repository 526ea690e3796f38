#!/usr/bin/python3
"""Trains the dialogue/music/effects separator: two mask models that the engine runs side by
side, "Dialogue" and "Music", whose residual is "Effects".

    /usr/bin/python3 python/training/train_separator.py --seed 1 --minutes 90 --work build-training \
        --init python/training/checkpoints/speech-denoiser-3000.pt

Both networks are the denoiser's small network (or, with --size recurrent, its recurrent one)
and are trained together, on what the engine makes of them: D = mD X, M = mM X and
E = (1 - mD - mM) X, so the three stems always add up to the input. Checkpoints, resuming and
cycles work as in train_denoiser.py. At the end the best weights go to
WORK/separator[-SIZE]-dialogue.model and WORK/separator[-SIZE]-music.model (half floats).
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
import separation_data  # noqa: E402
from murel.nn import si_sdr  # noqa: E402
from train_denoiser import SKIP, Batches, atomic_save  # noqa: E402

CLIP_SECONDS = 2.0
STEMS = ("Dialogue", "Music", "Effects")


def make_models(size="small"):
    dialogue = denoiser.make_model(size, ("Dialogue", "Effects"), model_id=2)
    music = denoiser.make_model(size, ("Music", "Effects"), model_id=3)
    return torch.nn.ModuleDict({"dialogue": dialogue, "music": music})


def separate(models, mix):
    """The three stems [batch, 3, samples] of mixtures [batch, samples], as the engine mixes them."""
    wave = mix.unsqueeze(1)
    d, m = models["dialogue"], models["music"]
    spectra, mask_d = d.bus_masks(wave)
    _, mask_m = m.bus_masks(wave)
    frames = spectra.shape[2] - d.latency_frames
    x = spectra[..., :frames, :]
    mask_d, mask_m = mask_d[:, 0, :, :frames], mask_m[:, 0, :, :frames]
    stems = [mask_d * x, mask_m * x, (1 - mask_d - mask_m) * x]
    return torch.cat([d.synthesise(s, mix.shape[-1]) for s in stems], dim=1)


def stem_loss(estimate, reference, mix):
    """Per clip and stem: -SI-SDR / 10 where the stem is present, plus the distance of compressed
    magnitude spectra scaled by the mixture's level (so a silent stem must come out silent)."""
    scale = mix.std(dim=-1, keepdim=True).unsqueeze(1) + 1e-5
    window = torch.hann_window(512)
    b, s, n = estimate.shape
    e = torch.stft((estimate / scale).reshape(b * s, n), 512, 128, window=window, return_complex=True).abs()
    r = torch.stft((reference / scale).reshape(b * s, n), 512, 128, window=window, return_complex=True).abs()
    spectral = torch.mean((e.clamp(min=1e-8) ** 0.3 - r.clamp(min=1e-8) ** 0.3) ** 2, dim=(1, 2)).reshape(b, s)
    present = (reference.pow(2).mean(dim=-1) > 1e-4 * mix.pow(2).mean(dim=-1, keepdim=True)).float()
    score = si_sdr(estimate, reference)
    return spectral + present * -score.clamp(max=30.0) / 10, score, present


def film_mix(material, rng, n):
    return separation_data.make_mix(rng, *material, n)


def collate_mixes(clips):
    mix, d, m, e = (torch.from_numpy(np.stack(x)) for x in zip(*clips))
    return mix, torch.stack([d, m, e], dim=1)


def evaluate(models, validation):
    """(loss, {stem: mean SI-SDR improvement in dB where present})."""
    mix, stems = validation
    with torch.no_grad():
        out = torch.cat([separate(models, mix[k:k + 8]) for k in range(0, len(mix), 8)])
        loss, score, present = stem_loss(out[..., SKIP:], stems[..., SKIP:], mix[:, SKIP:])
        base = si_sdr(mix[:, SKIP:].unsqueeze(1).expand_as(stems[..., SKIP:]), stems[..., SKIP:])
    gain = (score - base) * present
    figures = {name: round(float(gain[:, i].sum() / present[:, i].sum().clamp(min=1)), 2)
               for i, name in enumerate(STEMS)}
    return float(loss.mean()), figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--minutes", type=float, default=90.0)
    parser.add_argument("--cycle", type=int, default=1)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--learning-rate", type=float, default=1e-3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--checkpoint-minutes", type=float, default=5.0)
    parser.add_argument("--work", default="build-training")
    parser.add_argument("--size", default="small", choices=("small", "recurrent"))
    parser.add_argument("--init", default=None, help="denoiser weights both networks start from, or a small "
                        "separator's checkpoint for the recurrent one (its recurrent part starts silent)")
    parser.add_argument("--export-only", action="store_true")
    args = parser.parse_args()

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    os.makedirs(args.work, exist_ok=True)
    suffix = "" if args.size == "small" else "-" + args.size
    log = open(os.path.join(args.work, f"train-separator{suffix}.log"), "a", buffering=1)

    def say(text):
        text = time.strftime("%H:%M:%S ") + text
        print(text, flush=True)
        log.write(text + "\n")

    models = make_models(args.size)
    trainable = [p for p in models.parameters() if p.requires_grad]
    optimiser = torch.optim.AdamW(trainable, lr=args.learning_rate, weight_decay=1e-4)
    checkpoint_path = os.path.join(args.work, f"checkpoint-separator{suffix}.pt")
    best_path = os.path.join(args.work, f"best-separator{suffix}.pt")
    step, elapsed, best, cycle, cycle_step, cycle_elapsed = 0, 0.0, math.inf, args.cycle, 0, 0.0
    if os.path.exists(checkpoint_path):
        state = torch.load(checkpoint_path)
        models.load_state_dict(state["model"])
        optimiser.load_state_dict(state["optimiser"])
        step, elapsed, best = state["step"], state["elapsed"], state["best"]
        cycle, cycle_step, cycle_elapsed = state["cycle"], state["cycle_step"], state["cycle_elapsed"]
        say(f"resumed at step {step} after {elapsed / 60:.1f} min (cycle {cycle})")
        if args.cycle > cycle:
            cycle, cycle_step, cycle_elapsed, best = args.cycle, step, elapsed, math.inf
    elif args.init:
        weights = torch.load(args.init)["model"]
        if any(k.startswith("dialogue.") for k in weights):
            missing, unexpected = models.load_state_dict(weights, strict=False)
        else:
            missing, unexpected = [], []
            for model in models.values():
                m, u = model.load_state_dict(weights, strict=False)
                missing, unexpected = missing + m, unexpected + u
        if not denoiser.warm_start_fits(missing, unexpected):
            raise SystemExit(f"{args.init} does not fit: missing {missing}, unexpected {unexpected}")
        say(f"both networks start from {args.init}" + (f"; new: {len(missing)} tensors" if missing else ""))
    if args.export_only:
        return export(models, best_path, args, say, suffix)

    material = separation_data.load_material(os.path.join(args.work, "cache"), args.seed, say)
    n = int(CLIP_SECONDS * separation_data.RATE)
    clips = [separation_data.make_mix(random.Random(args.seed * 1000 + 999_000 + i), *material, n) for i in range(32)]
    validation = (torch.from_numpy(np.stack([c[0] for c in clips])),
                  torch.from_numpy(np.stack([np.stack(c[1:]) for c in clips])))
    if step == 0:
        models.eval()
        say("validation before training: loss {:.4f} {}".format(*evaluate(models, validation)))
        models.train()
    loader = torch.utils.data.DataLoader(Batches(functools.partial(film_mix, material), collate_mixes, args.seed, step, args.batch), batch_size=None,
                                         num_workers=args.workers, prefetch_factor=4)
    last_save, started = time.time(), time.time() - elapsed

    def save():
        atomic_save({"model": models.state_dict(), "optimiser": optimiser.state_dict(), "step": step,
                     "elapsed": elapsed, "best": best, "cycle": cycle, "cycle_step": cycle_step,
                     "cycle_elapsed": cycle_elapsed}, checkpoint_path)

    for batch_step, mix, stems in loader:
        assert batch_step == step
        progress = (elapsed - cycle_elapsed) / (args.minutes * 60)
        if progress >= 1:
            break
        warm = min(1.0, (step - cycle_step + 1) / 50)
        for group in optimiser.param_groups:
            group["lr"] = args.learning_rate * warm * (0.02 + 0.98 * 0.5 * (1 + math.cos(math.pi * progress)))
        out = separate(models, mix)
        loss, score, _ = stem_loss(out[..., SKIP:], stems[..., SKIP:], mix[:, SKIP:])
        loss = loss.mean()
        optimiser.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(trainable, 5.0)
        optimiser.step()
        step += 1
        elapsed = time.time() - started
        if step % 25 == 0:
            say(f"step {step} {elapsed / 60:.1f} min lr {optimiser.param_groups[0]['lr']:.2e} loss {float(loss):.4f}")
        if time.time() - last_save > args.checkpoint_minutes * 60:
            models.eval()
            val_loss, figures = evaluate(models, validation)
            models.train()
            say(f"validation at step {step}: loss {val_loss:.4f} " + json.dumps(figures))
            if val_loss < best:
                best = val_loss
                atomic_save({"model": models.state_dict(), "step": step, "loss": val_loss, "figures": figures},
                            best_path)
            save()
            last_save = time.time()
    models.eval()
    val_loss, figures = evaluate(models, validation)
    say(f"validation at step {step}: loss {val_loss:.4f} " + json.dumps(figures))
    if val_loss < best:
        best = val_loss
        atomic_save({"model": models.state_dict(), "step": step, "loss": val_loss, "figures": figures}, best_path)
    save()
    export(models, best_path, args, say, suffix)


def export(models, best_path, args, say, suffix=""):
    best = torch.load(best_path) if os.path.exists(best_path) else {"model": models.state_dict()}
    models.load_state_dict(best["model"])
    models.eval()
    for name, model in models.items():
        with torch.no_grad():
            for p in model.parameters():
                p.copy_(p.half().float())
        path = os.path.join(args.work, f"separator{suffix}-{name}.model")
        murel.export.save(model, path, half=True)
        say(f"exported {path} (step {best.get('step')}, validation {json.dumps(best.get('figures'))})")


if __name__ == "__main__":
    main()
