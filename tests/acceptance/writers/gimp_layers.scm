; Layered 8-bit Photoshop files written by GIMP (an independent writer) for
; the acceptance tests: a group holding a masked layer in multiply mode and a
; hidden one in screen mode, a partly transparent layer with opacity, in RGB
; and grayscale; and an indexed-colour file with a masked layer.
;   gimp -i -b '(load "gimp_layers.scm")' -b '(velmora-write-files "DIR/")' -b '(gimp-quit 0)'
; GIMP stores every channel run-length compressed.

(define (velmora-layer img parent name w h x y opacity mode)
  (let ((layer (car (gimp-layer-new img w h RGBA-IMAGE name opacity mode))))
    (gimp-image-insert-layer img layer parent 0)
    (gimp-layer-set-offsets layer x y)
    layer))

(define (velmora-fill img drawable colour x y w h)
  (gimp-image-select-rectangle img CHANNEL-OP-REPLACE x y w h)
  (gimp-context-set-foreground colour)
  (gimp-drawable-edit-fill drawable FILL-FOREGROUND)
  (gimp-selection-none img))

(define (velmora-masked img parent name x y mode)
  (let* ((layer (velmora-layer img parent name 30 20 x y 80 mode))
         (mask (car (gimp-layer-create-mask layer ADD-MASK-WHITE))))
    (plug-in-plasma RUN-NONINTERACTIVE img layer 11 4.0)
    (gimp-layer-add-mask layer mask)
    (gimp-image-select-ellipse img CHANNEL-OP-REPLACE (+ x 3) (+ y 2) 20 14)
    (gimp-context-set-foreground '(0 0 0))
    (gimp-drawable-edit-fill mask FILL-FOREGROUND)
    (gimp-selection-none img)
    layer))

(define (velmora-base)
  (let* ((img (car (gimp-image-new 64 48 RGB)))
         (bg (velmora-layer img 0 "Background" 64 48 0 0 100 LAYER-MODE-NORMAL)))
    (plug-in-plasma RUN-NONINTERACTIVE img bg 7 2.5)
    img))

(define (velmora-grouped)
  (let* ((img (velmora-base))
         (group (car (gimp-layer-group-new img)))
         (edge (velmora-layer img 0 "transparent edge" 41 9 2 30 55 LAYER-MODE-NORMAL)))
    (velmora-fill img edge '(20 90 240) 2 30 20 9)
    (gimp-image-insert-layer img group 0 1)
    (gimp-item-set-name group "group one")
    (velmora-masked img group "masked plasma" 5 7 LAYER-MODE-MULTIPLY)
    (let ((hidden (velmora-layer img group "hidden square" 16 40 40 3 100 LAYER-MODE-SCREEN)))
      (velmora-fill img hidden '(250 200 10) 40 3 16 40)
      (gimp-item-set-visible hidden FALSE))
    img))

(define (velmora-indexed)
  (let* ((img (velmora-base))
         (edge (velmora-layer img 0 "edge" 41 9 2 30 55 LAYER-MODE-NORMAL)))
    (velmora-masked img 0 "masked plasma" 5 7 LAYER-MODE-MULTIPLY)
    (velmora-fill img edge '(20 90 240) 2 30 20 9)
    (gimp-image-convert-indexed img CONVERT-DITHER-NONE CONVERT-PALETTE-GENERATE 32 FALSE FALSE "")
    img))

(define (velmora-save img path)
  (file-psd-save RUN-NONINTERACTIVE img (car (gimp-image-get-active-drawable img)) path path 1 0))

(define (velmora-write-files dir)
  (let ((img (velmora-grouped)))
    (velmora-save img (string-append dir "gimp-rgb8-rle.psd"))
    (gimp-image-convert-grayscale img)
    (velmora-save img (string-append dir "gimp-gray8-rle.psd")))
  (velmora-save (velmora-indexed) (string-append dir "gimp-indexed8-rle.psd")))

; Opens each file with GIMP's Photoshop reader and says so: "opened PATH N"
; with the number of top-level layers; a file it refuses gets no such line.
(define (velmora-open path)
  (let ((img (car (file-psd-load RUN-NONINTERACTIVE path path))))
    (display (string-append "opened " path " " (number->string (car (gimp-image-get-layers img))) "\n"))
    (gimp-image-delete img)))
